#pragma once
// The main window's decisions, without widgets: the footer's status line, the Play page's build
// notice, what PLAY does, whether to ask for a first account, and how closing goes. The window
// carries them out.

#include "app/launchoptions.h"
#include "net/serverclient.h"

#include <QString>

struct StatusLine {
    QString colour;
    QString text;
};

// What the build notice is computed from; gatherBuildFacts reads it from the game's folder.
struct BuildFacts {
    QString exe;                // the game executable setting
    bool discExtracted = false; // the extracted disc holds "default.xex"
    QString titleUpdateProblem;
    QString buildHint;
    bool exeExists = false;
    bool packaged = false;
    bool rebuildNeeded = false;
    bool titleUpdateUnknown = false; // its files were not hashed yet: titleUpdateProblem is empty
};
// `hashNow` false: a title update whose files' hashes are not kept is left unknown rather than
// hashed here (the caller hashes it on a worker thread).
BuildFacts gatherBuildFacts(const QString &gameId, bool hashNow = true);

// What the release check after start is decided on; gatherReleaseFacts reads it from the game's
// folder.
struct ReleaseFacts {
    bool packaged = false;
    bool exeExists = false;
    bool builtByAnotherRelease = false;
    QString titleUpdateProblem; // empty when the title update in place is this release's
    QString titleUpdateLabel;   // the definition's title update, empty without a definition
};
ReleaseFacts gatherReleaseFacts(const QString &gameId);

// What the release check does: nothing, or the Build game page with a log line, a notice and the
// game compiled again.
struct ReleaseAction {
    bool rebuild = false;
    QString logLine;
    QString notice;
    bool noticeIsError = false;
};

// What an update offer says in the log, on the Play page's card and in the game's menu.
struct UpdateOfferTexts {
    QString logLine;
    QString sentence;
    QString buttonText;
    QString cardText;
    QString bridgeText;
};

// What stands in the way of showing an update or installing one.
struct UpdateWaitFacts {
    bool gameRunning = false;
    bool phaseIdle = true;
    QString phaseText;
    bool buildBusy = false;
    bool preparing = false; // the game's code is being prepared for this version
};

class WindowController {
public:
    enum class OfferAction { Start, OpenDialog, Later, Nothing };
    enum class PlayAction { BringForward, Wait, Start };
    enum class CloseAction { Ask, Close };

    explicit WindowController(const LaunchOptions &options) : m_options(options) {}

    static StatusLine statusLine(ServerClient::State state, const QString &address, const QString &account,
                                 const QString &lastError);

    // The notice and whether OPEN BUILD GAME shows beside it.
    QString buildNotice(const BuildFacts &facts) const;
    static bool showBuildButton(const QString &notice, bool gameRunning)
    {
        return !notice.isEmpty() && !gameRunning;
    }

    // PLAY: bring a running game forward, wait for a busy Build page, or start the game.
    PlayAction play(bool gameRunning, bool buildBusy);
    // The start's outcome; returns the log line for a failure ("play: ..."), empty on success.
    QString playStarted(bool ok, const QString &reason);
    QString playNotice() const { return m_playNotice; }
    void clearPlayNotice() { m_playNotice.clear(); }

    // On reaching the server without an account: true once per run when nothing is stored and no
    // launch option speaks against it.
    bool takeFirstRunPrompt(ServerClient::State state, const QString &storedToken, const QString &storedName);

    // `testBuild`: the offer is this very version with another build (`offerBuild`); `ownBuild` is
    // this launcher's build label.
    static UpdateOfferTexts updateOfferTexts(const QString &version, bool required, bool testBuild,
                                             const QString &offerBuild, const QString &ownBuild);
    // Empty when nothing is in the way, else the end of "It goes in once %1.".
    static QString updateWaitReason(const UpdateWaitFacts &facts);
    // What a new offer does: start at once (--auto-update), open the dialog, open it once the wait is
    // over, or nothing (an update runs, a dialog is open, or the player dismissed this version).
    static OfferAction updateOfferAction(bool updaterActive, bool autoUpdate, const QString &cannotUpdate,
                                         bool dialogOpen, const QString &version,
                                         const QString &dismissedVersion, bool required,
                                         const QString &waitReason);

    // A packaged launcher whose game another release built, or whose title update is not this
    // release's, builds the game again.
    static ReleaseAction releaseCheck(const ReleaseFacts &facts, const QString &gameId);

    // Closing: ask while a game runs, unless the run is scripted (--user) or the system asked.
    CloseAction close(bool gameRunning, bool byTermination) const;

private:
    LaunchOptions m_options;
    QString m_playNotice;
    bool m_promptDone = false;
};
