// Random source of the core tests: seeded, and the seed printed, so that a
// failure found on random input can be replayed with CORVANE_TEST_SEED=<seed>.
#pragma once

#include <QRandomGenerator>
#include <QtGlobal>
#include <cstdio>

inline QRandomGenerator* seededRandom() {
    static const quint32 seed = qEnvironmentVariableIsSet("CORVANE_TEST_SEED")
                                    ? qgetenv("CORVANE_TEST_SEED").toUInt()
                                    : QRandomGenerator::system()->generate();
    static QRandomGenerator generator(seed);
    static const bool told = (std::fprintf(stderr, "random seed %u (replay with CORVANE_TEST_SEED)\n", seed), true);
    (void)told;
    return &generator;
}
