// A bench that measures another build beside this one (a baseline commit)
// runs that build's programs for a while.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace corvane {
namespace bench {

// Runs the programs of another build folder, and trusts its TLS root, while it lives.
class BuildInUse {
public:
    explicit BuildInUse(const QString& folder) : previous(qgetenv("CORVANE_BINARY_DIR")) {
        qputenv("CORVANE_BINARY_DIR", folder.toLocal8Bit());
    }
    ~BuildInUse() { qputenv("CORVANE_BINARY_DIR", previous); }

private:
    const QByteArray previous;
};

}  // namespace bench
}  // namespace corvane
