// Runs a command-line tool of the test (certutil, openssl, xmllint, a script)
// to its end and keeps what it printed.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

struct ToolRun {
    int exitCode = -1;  // -1 when it crashed or did not finish within a minute
    QString output;     // standard output and standard error, read as UTF-8
};

inline ToolRun runTool(const QString& program, const QStringList& args,
                       const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    ToolRun run;
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(program, args);
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished(5000);
        run.output = program + " did not finish";
        return run;
    }
    run.output = QString::fromUtf8(p.readAll());
    run.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return run;
}
