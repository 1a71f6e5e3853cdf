#include "zuservicecontroller.h"

#include "quessel-commons.h"
#include "request-envelope.h"
#include "tessaly-request.h"
#include "tessaly-response.h"
#include "tev-commons.h"
#include "tev-logging.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <exception>

using tev::quessel::errorEnvelope;
using corvane::envelope::separatorLine;
using tev::logging::shownText;

namespace {

std::string dispatch(const QJsonObject& request) {
    const std::string action = request.value("action").toString().toStdString();
    LOG(INFO) << "Zu Service: " << "Action : " << shownText(action);
    LOG(INFO) << "Zu Service: " << separatorLine();
    if (const auto* route = corvane::envelope::findRoute(action, corvane::envelope::Endpoint::Jsonp)) {
        return route->command(request);
    }
    LOG(ERROR) << "Zu Service: " << "Undefined action: " << shownText(action);
    return errorEnvelope(12);
}

}  // namespace

ZuServiceController::ZuServiceController(QObject* parent) : tessaly::HttpRequestHandler(parent) {}

void ZuServiceController::service(tessaly::HttpRequest& request, tessaly::HttpResponse& response) {
    const QByteArray callback = request.getParameter("callback");
    const QByteArray parameters = request.getParameter("parameters");
    // Logged whatever it holds, also when it is refused below: the log
    // escapes what could break or forge a line.
    LOG(INFO) << "Zu Service: " << "Callback: " << shownText(callback.toStdString());
    LOG(INFO) << "Zu Service: " << "User URL: " << shownText(request.getHeader("Referer").toStdString());

    if (!corvane::envelope::isSafeCallbackName(callback)) {
        // Echoing an arbitrary callback would let any text become script in
        // the page that loads the answer.
        LOG(ERROR) << "Zu Service: " << "Refused callback name";
        response.write(QByteArray::fromStdString(errorEnvelope(12)), true);
        return;
    }
    response.write(callback + "(", false);
    const QByteArray answer = processRequest(
        request.getPeerAddress().toString().toStdString(), parameters.toStdString());
    response.write(answer, false);
    response.write(")", true);
}

QByteArray ZuServiceController::processRequest(const std::string& /*peerAddress*/,
                                               const std::string& parameters) {
    const std::string decoded = base64_decode(parameters);
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(decoded), &parseError);
    std::string answer;
    if (parseError.error != QJsonParseError::NoError) {
        LOG(INFO) << "Zu Service: " << "The incoming message: " << shownText(tev::quessel::maskPinsForLog(decoded));
        answer = errorEnvelope(12);
    } else {
        try {
            answer = dispatch(document.object());
        } catch (int code) {
            LOG(ERROR) << "Zu Service: " << "Exception caught - Error code: " << code;
            answer = errorEnvelope(code);
        } catch (unsigned long code) {
            LOG(ERROR) << "Zu Service: " << "Exception caught - Error code: " << code;
            answer = errorEnvelope(code);
        } catch (const char* text) {
            LOG(ERROR) << "Zu Service: " << "Exception caught - Error code (2): " << (text ? text : "");
            answer = errorEnvelope(12);
        } catch (const std::exception& e) {
            LOG(ERROR) << "Zu Service: " << "Exception caught - Error code (3): " << e.what();
            answer = errorEnvelope(12);
        } catch (...) {
            LOG(ERROR) << "Zu Service: " << "Exception caught - Undefined";
            answer = errorEnvelope(12);
        }
    }
    LOG(INFO) << "Zu Service: " << separatorLine();
    return QByteArray::fromStdString(answer);
}
