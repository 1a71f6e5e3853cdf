// The embedded HTTP server of corvane-service with a request handler that
// answers every request with one fixed JSONP body, written the way the JSONP
// controller writes it (callback and "(", the answer, ")"; chunked on
// keep-alive). Same listener settings and TLS material as corvane-service, so
// its rate is the transport's own ceiling for the agent's answers.
//
//   corvane-bench-fixed-server <port> <answer-file>
//
// <answer-file> holds the answer text that goes between the parentheses.
#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

#include "tessaly-listener.h"
#include "tessaly-request.h"
#include "tessaly-request-handler.h"
#include "tessaly-response.h"
#include "tls-material.h"

namespace {

class FixedAnswer : public tessaly::HttpRequestHandler {
public:
    explicit FixedAnswer(QByteArray answer) : answer_(std::move(answer)) {}
    void service(tessaly::HttpRequest& request, tessaly::HttpResponse& response) override {
        response.write(request.getParameter("callback") + "(", false);
        response.write(answer_, false);
        response.write(")", true);
    }

private:
    const QByteArray answer_;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <port> <answer-file>\n", argv[0]);
        return 2;
    }
    QFile file(QString::fromLocal8Bit(argv[2]));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 2;
    }
    QTemporaryDir folder;
    QSettings settings(folder.path() + "/listener.ini", QSettings::IniFormat);
    settings.beginGroup("listener");
    settings.setValue("port", std::atoi(argv[1]));
    settings.setValue("host", "127.0.0.1");
    settings.setValue("minThreads", "4");
    settings.setValue("maxThreads", "100");
    settings.setValue("cleanupInterval", "60000");
    settings.setValue("readTimeout", "60000");
    settings.setValue("maxRequestSize", "16000");
    settings.setValue("maxMultiPartSize", "10000000");
    settings.setValue("certBA", QByteArray::fromStdString(PLAIN_CERTIFICATE));
    settings.setValue("intermCertificateBA", QByteArray::fromStdString(PLAIN_INTERM_CERT));
    settings.setValue("keyBA", QByteArray::fromStdString(PLAIN_PRIVATE_KEY));
    FixedAnswer handler(file.readAll());
    tessaly::HttpListener listener(&settings, &handler);
    if (!listener.isListening()) return 1;
    return application.exec();
}
