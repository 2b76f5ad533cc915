// The command dispatcher.
#include "commands/dispatch.h"

#include <mutex>

#include "commands/json.h"
#include "commands/params.h"
#include "finger/capture.h"
#include "link/frame.h"
#include "link/listener.h"
#include "pad/session.h"

namespace {

// Commands from different connections would otherwise drive the pad at the
// same time; one at a time they see each other's complete effect.
std::mutex DispatchMutex;

int32_t Parameter(const std::string& messageText, const char* name) {
    return DecimalValue(GetMemberText(ParseJson(messageText), name));
}

// A page asks for the pen's samples with "pendata":"1"; any other value, or
// none, leaves the session as it always was.
bool PenDataAsked(const std::string& messageText) {
    return GetMemberText(ParseJson(messageText), "pendata") == "1";
}

// The evidence a start command asks for ("sealto" and the members beside it),
// its texts read from the command as sent: false when a member is bad, which
// the page is told in a message of its own and which starts nothing.
bool ReadEvidence(const std::string& messageText, const std::string& utf8Command,
                  EvidenceRequestPtr* evidence) {
    evidence->reset();
    if (PrintMember(ParseJson(messageText), "sealto").empty()) return true;
    std::string error;
    *evidence =
        ReadEvidenceRequest(ParseJson(PrintMember(ParseJson(utf8Command), "message")), &error);
    if (error.empty()) return true;
    SendTextMessage(EvidenceErrorMessage(error));
    return false;
}

}  // namespace

void DispatchCommand(const std::string& typeName, const std::string& messageText,
                     const std::string& utf8Command) {
    std::lock_guard<std::mutex> lock(DispatchMutex);
    if (typeName == "TavoStartSign") {
        const int32_t penWidth = Parameter(messageText, "penwidth");
        const bool penData = PenDataAsked(messageText);
        EvidenceRequestPtr evidence;
        if (!ReadEvidence(messageText, utf8Command, &evidence)) return;
        if (OpenPad() == 0) StartSigning(penWidth, penData, std::move(evidence));
    } else if (typeName == "TavoCloseSign") {
        ClosePad();
    } else if (typeName == "TavoCloseSocket") {
        // Closes the newest open connection, which may not be the sender's.
        // The next newest open one receives the device messages from then on.
        if (ConnectionPtr active = ActiveClient()) CloseConnection(*active);
    } else if (typeName == "TavoStartFinger") {
        const int32_t quality = Parameter(messageText, "quality");
        if (OpenPad() == 0) {
            CaptureMode = 0;
            FingerQuality = quality;
            StartFingerCapture();
        }
    } else if (typeName == "TavoStartSignFinger") {
        const int32_t quality = Parameter(messageText, "quality");
        const int32_t penWidth = Parameter(messageText, "penwidth");
        const bool penData = PenDataAsked(messageText);
        EvidenceRequestPtr evidence;
        if (!ReadEvidence(messageText, utf8Command, &evidence)) return;
        if (OpenPad() == 0) {
            CaptureMode = 1;
            FingerQuality = quality;
            StartSigning(penWidth, penData, std::move(evidence));
        }
    }
}

void ResetCommandsForTests() {
    std::lock_guard<std::mutex> lock(DispatchMutex);
    CaptureMode = 0;
    FingerQuality = 0;
}
