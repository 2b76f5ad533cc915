// Refusals, and the one question per site to the person at the desk.
#include "link/consent.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "link/listener.h"
#include "shell/log.h"

namespace {

std::atomic<int> QuestionTimeoutMs{kSiteQuestionTimeoutMs};

// The question about one site that is up now; askers of the same site wait
// for its answer instead of raising another.
struct OpenQuestion {
    bool done = false;  // guarded by QuestionsMutex
    platform::SiteAnswer answer = platform::SiteAnswer::NoAnswer;
    std::condition_variable answered;
};

std::mutex& QuestionsMutex = *new std::mutex;
std::map<std::string, std::shared_ptr<OpenQuestion>>& OpenQuestions =
    *new std::map<std::string, std::shared_ptr<OpenQuestion>>;

std::string QuestionText(const std::string& origin) {
    return u8"网站 " + origin +
           u8" 想使用本机的签字板和指纹仪，它将收到在其上签的字和采集的指纹。是否允许？\n\n"
           "The site " +
           origin +
           " wants to use this computer's signature pad and fingerprint reader; it will "
           "receive the signatures and fingerprints taken on them. Allow it?";
}

// Asks the person about `origin`, or waits for the question about it that is
// up already. The answer is remembered for this user unless nobody gave one.
platform::SiteAnswer AskOnce(const std::string& origin) {
    std::shared_ptr<OpenQuestion> question;
    bool asker = false;
    {
        std::unique_lock<std::mutex> lock(QuestionsMutex);
        auto& entry = OpenQuestions[origin];
        if (!entry) {
            entry = std::make_shared<OpenQuestion>();
            asker = true;
        }
        question = entry;
        if (!asker) {
            question->answered.wait(lock, [&question] { return question->done; });
            return question->answer;
        }
    }
    const platform::SiteAnswer answer =
        platform::AskAboutSite(QuestionText(origin), QuestionTimeoutMs.load());
    if (answer != platform::SiteAnswer::NoAnswer &&
        !platform::RememberSiteAnswer(origin, answer == platform::SiteAnswer::Allow))
        WriteLog("error", "the answer for " + origin + " could not be remembered");
    WriteLog("error",
             "site " + origin + ": " +
                 (answer == platform::SiteAnswer::Allow ? "allowed at the desk"
                  : answer == platform::SiteAnswer::Block
                      ? "blocked at the desk"
                      : "no answer at the desk (or no desktop to ask on), refused for now"));
    std::lock_guard<std::mutex> lock(QuestionsMutex);
    question->answer = answer;
    question->done = true;
    question->answered.notify_all();
    OpenQuestions.erase(origin);
    return answer;
}

}  // namespace

bool AdmitCommand(const ConnectionPtr& connection) {
    if (connection->trusted.load()) return true;
    if (connection->judgement.verdict == Verdict::Ask) {
        // Another connection of the site may have been answered for since.
        RejudgeConnection(connection);
        if (connection->judgement.verdict == Verdict::Ask) {
            const platform::SiteAnswer answer = AskOnce(connection->judgement.origin);
            if (answer == platform::SiteAnswer::Allow) {
                TrustConnection(connection);
            } else if (answer == platform::SiteAnswer::Block) {
                connection->judgement.verdict = Verdict::Refused;
                connection->judgement.reason = TrustReason::BlockedOrigin;
            }
        }
        if (connection->trusted.load()) return true;
    }
    if (!connection->refusalLogged) {
        connection->refusalLogged = true;
        WriteLog("error", RefusalLogText(connection->facts, connection->judgement));
    }
    SendFrame(*connection, DenialMessage(connection->facts, connection->judgement));
    return false;
}

void SetSiteQuestionTimeoutForTests(int milliseconds) {
    QuestionTimeoutMs.store(milliseconds);
}
