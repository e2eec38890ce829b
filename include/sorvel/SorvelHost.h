#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sorvel/Export.h"
#include "sorvel/InAppPresentation.h"
#include "sorvel/SorvelNotifications.h"
#include "sorvel/Value.h"

namespace sorvel {

/// What a Linux app tells the SDK that a mobile OS would have told it: where
/// the app's data lives, who the app is, when it comes to the foreground and
/// leaves it, and whether the network is there. Every call is safe from any
/// thread and never throws.
///
/// Call the data-folder and bundle calls before the first SorvelKV call; the
/// SDK reads them when it starts.
///
/// A call that refuses its input, or fails, says so in one error line of the
/// SDK's log, "SorvelHost::\<call\> :: \<reason\>", and has no effect. The line
/// is not meant for quality assurance only: it shows on stderr in every mode,
/// and a log delegate set outside quality-assurance mode gets it too (see
/// SorvelKV::setLogDelegate).
class SORVEL_API SorvelHost {
  public:
    SorvelHost() = delete;

    /// The app's data folder. Everything the SDK stores lives below it (folders
    /// 0700, files 0600); the device id's keychain sits beside it, in
    /// "\<path\>-keychain", so a wipe of the folder keeps the device id. Without
    /// one: $SORVEL_HOME, else $XDG_DATA_HOME/sorvelkv/\<bundle id\>
    /// (~/.local/share/sorvelkv/\<bundle id\> when XDG_DATA_HOME is unset).
    /// A path holding a NUL byte is ignored with the error line
    /// "SorvelHost::setDataFolder :: the path holds a NUL byte; ignored".
    ///
    /// Call it before the SDK's first call that touches data: before
    /// initSorvel (and before setNotificationPermission, which stores the
    /// answer), in practice first thing in `main`. Once the SDK has used its
    /// data folder, the data and the device id's keychain stay where they are
    /// for the rest of the process: a call naming another folder changes
    /// nothing, the keychain included, and logs the error line
    /// "SorvelHost::setDataFolder :: the SDK already uses the data folder
    /// "\<in use\>"; "\<path\>" is ignored". Naming the folder in use again
    /// changes nothing and logs nothing.
    static void setDataFolder(const std::string& path) noexcept;

    /// The app's bundle id (default "com.sorvel.sample"). The device id's
    /// keychain entry follows it, and so does the default data folder.
    ///
    /// Call it when setDataFolder may be called: before the SDK's first call
    /// that touches data, before initSorvel, in practice first thing in
    /// `main`. Once the SDK has used its data folder or keychain, the bundle
    /// id stays for the rest of the process: a call naming another changes
    /// nothing and logs the error line "SorvelHost::setBundleId :: the SDK
    /// already uses the bundle id "\<in use\>"; "\<id\>" is ignored". Naming
    /// the id in use again changes nothing and logs nothing.
    static void setBundleId(const std::string& bundleId) noexcept;
    /// The app's version and build, as the SDK reports them.
    static void setAppVersion(const std::string& version, const std::string& build) noexcept;
    /// One Info key, typed: the SDK reads the integer "SorvelServerMode" (1
    /// development, 2 staging, anything else live), the string "FvnRegion"
    /// ("ap1" or "ap2", the default) and the Boolean "SorvelQaMode". An integer
    /// and a string stay distinct. Absent removes the key.
    static void setInfoValue(const std::string& key, const std::optional<Value>& value) noexcept;
    /// Loads {"bundleId": ..., "version": ..., "build": ..., "info": {...}}
    /// from a JSON file; false, changing nothing, when it cannot be read or
    /// parsed. Its bundle id follows setBundleId's rule, so load the file
    /// when setBundleId may be called: once the SDK has used its data, another
    /// id is ignored with the error line "SorvelHost::loadInfoFile :: the SDK
    /// already uses the bundle id "\<in use\>"; "\<id\>" is ignored", and the
    /// rest of the file still applies (the call returns true).
    static bool loadInfoFile(const std::string& path) noexcept;

    /// The app came to the foreground. This and applicationWillResignActive
    /// each post the application-state notification the SDK observes once
    /// initSorvel ran; call them on the app's main thread, as a mobile OS would.
    static void applicationDidBecomeActive() noexcept;
    /// The app is about to leave the foreground. Posts the notification the
    /// SDK observes (it packs and stores the events it holds and starts their
    /// upload) and returns once everything recorded before the call is on
    /// disk, or after 200 ms at most (the storing then goes on behind it).
    /// Call it on the app's main thread; it logs nothing on its own.
    static void applicationWillResignActive() noexcept;

    /// The app is about to end (what a mobile OS tells an app it terminates):
    /// call it before `main` returns. It packs and stores every event the app
    /// recorded, gives their upload up to `timeout` (a negative one counts as
    /// zero) and writes the SDK's last checkpoint, so that what the server
    /// has not acknowledged is sent on the next launch. Runs on the calling
    /// thread, blocking it at most `timeout`; returns true when everything was
    /// stored and every upload ended in time, false when the time ran out
    /// (what was recorded is then still on disk, up to the record underway).
    /// Before initSorvel it does nothing and returns true. An app that
    /// returns from `main` or calls `exit` without it gives the SDK 50 ms to
    /// store what it holds, without uploading: what is not stored by then (a
    /// burst recorded just before, on a busy machine) is lost, and an error
    /// line says so.
    static bool applicationWillTerminate(std::chrono::milliseconds timeout) noexcept;

    /// The SDK's main thread. Its timers (the timed upload, the daily first
    /// open) fire, and its main-thread work runs, on a main run loop the app
    /// serves: runMainLoop serves it on the calling thread until stopMainLoop
    /// is called (from any thread); an app with a loop of its own calls
    /// runMainLoopOnce from it now and then instead (it performs what is due
    /// and returns at once; true when it did anything). Without either the
    /// SDK still records and uploads events, but nothing timed happens.
    static void runMainLoop() noexcept;
    /// Makes runMainLoop return (or, when none runs, the next one); from any
    /// thread.
    static void stopMainLoop() noexcept;
    /// Performs what is due on the main run loop and returns at once; true when
    /// it did anything. For an app with a loop of its own.
    static bool runMainLoopOnce() noexcept;

    /// Serves the SDK's main loop on a thread of its own for as long as the
    /// object lives: the one safe way for an app without a loop of its own.
    /// Construction starts the thread (it runs runMainLoop); destruction stops
    /// the loop and joins the thread, so the app never ends with a loop thread
    /// still running. A stopMainLoop from elsewhere does not end it early.
    /// Keep one at a time, and destroy it on any thread but the loop's own
    /// (destroyed from a block the loop runs, it detaches instead of joining).
    /// When no thread can be started the constructor logs the error line
    /// "SorvelHost::MainLoopThread :: failed: \<reason\>" and the object does
    /// nothing.
    class SORVEL_API MainLoopThread {
      public:
        /// Starts the thread that serves the main loop.
        MainLoopThread() noexcept;
        /// Stops the loop and waits for its thread to end.
        ~MainLoopThread();
        MainLoopThread(const MainLoopThread&) = delete;
        MainLoopThread& operator=(const MainLoopThread&) = delete;

      private:
        struct State;
        std::shared_ptr<State> state_;
    };

    /// Whether the device has a network: false is "no network" (the SDK keeps
    /// its events for later), true a connected one; absent goes back to the
    /// machine's own routes.
    static void setNetworkAvailable(std::optional<bool> available) noexcept;

    /// For testing against a local server: every request to the maker's hosts
    /// goes to this base URL instead (for example "http://127.0.0.1:8080"),
    /// its path and query appended. Plain http to the maker's hosts is
    /// allowed only for such a request (images that notifications and
    /// campaigns name may use http or https on any host). An empty URL ends
    /// the mapping. A URL that is not an absolute http or https URL with a
    /// host (or that carries a query or a fragment) is refused with the error
    /// line "SorvelHost::setServerBaseUrl :: "\<url\>" is not an absolute
    /// http or https URL; the previous base stays", and the previous base
    /// stays.
    static void setServerBaseUrl(const std::string& baseUrl) noexcept;

    /// Tells the app when the SDK is ready: once the initialisation that
    /// SorvelKV::initSorvel started has finished and the first
    /// applicationDidBecomeActive has been handled, `handler` is called once,
    /// on a thread of the SDK, with true when the SDK runs and false when it
    /// is disabled (a refused key, a stopped or paused app, a deleted user).
    /// Called after that point, the handler runs at once (on an SDK thread).
    /// Calls made earlier are not lost: they are held and carried out in
    /// order. But an event recorded before the SDK is ready cannot show an
    /// in-app message, and the app's notification permission is known to the
    /// SDK only from then on; record the events that may show a message, and
    /// schedule local notifications, from the handler or after it ran. The
    /// handler may call the SDK; the start itself may wait for the server's
    /// configuration, so never block the app's main thread on it.
    static void whenStarted(std::function<void(bool running)> handler) noexcept;

    /// The device's screen for in-app messages: its size in points in
    /// portrait and its safe-area insets in each orientation. The first call also gives the app its
    /// one window, where messages are laid out. Call it on the SDK's main thread before messages
    /// can show; without it messages have no window and are not built. Sizes that are not positive
    /// and finite are refused with an error line.
    static void setScreen(double width, double height, const InAppInsets& portraitInsets,
                          const InAppInsets& landscapeInsets) noexcept;
    /// The device turns (true: portrait, false: landscape); a message on
    /// screen closes when the interface turns between the two. Main thread.
    static void rotateScreen(bool portrait) noexcept;
    /// Who shows messages: null leaves them on the SDK's headless screen
    /// only. Safe from any thread; the presenter is called on the main thread.
    static void setInAppMessagePresenter(std::shared_ptr<InAppMessagePresenter> presenter) noexcept;
    /// The text metrics labels are laid out with (null: the SDK's fixed
    /// metrics). Set it before messages show.
    static void setInAppTextMetrics(std::shared_ptr<const InAppTextMetrics> metrics) noexcept;
    // ---- User notifications (SorvelHostPush.cpp) ---------------------------

    /// The user's answer to the app's notification-permission request: true
    /// grants it, false denies it. The SDK reads it when it next builds a
    /// server request. The answer is kept in the data folder (a 0600 file,
    /// written off the calling thread), as a mobile OS keeps it: later
    /// launches find it without being told again, so "set_push" goes out
    /// only when the answer changes.
    static void setNotificationPermission(bool granted) noexcept;
    /// Shows the SDK's notifications on the desktop through the freedesktop
    /// notification service (org.freedesktop.Notifications) on the session
    /// bus at busAddress (empty: $DBUS_SESSION_BUS_ADDRESS). A click on one
    /// comes back as a response (setNotificationResponseHandler). Without a
    /// session bus it writes one line to the system log, keeps recording the
    /// notifications instead, and returns false.
    static bool useDesktopNotifications(const std::string& busAddress = "") noexcept;
    /// Where the user's answers to notifications go; the handler runs on the
    /// thread that reports them (the caller of tapNotification, or the
    /// desktop connection's thread). Typically:
    /// [](const NotificationResponse& r) { SorvelKV::getInstance().userNotificationCenter(r); }
    static void setNotificationResponseHandler(
        std::function<void(const NotificationResponse&)> handler) noexcept;
    /// The app's notification service extension (null: none): every remote
    /// notification delivered goes through it before it is shown.
    static void setNotificationServiceExtension(
        std::shared_ptr<NotificationServiceExtension> extension) noexcept;
    /// A remote notification the app received by its own means (the payload,
    /// a JSON object of at most 64 KiB, as text): runs the service extension
    /// when one is set, then shows it. Returns the notification's identifier,
    /// or "" with a system-log line when the payload is refused.
    ///
    /// The extension's didReceive runs on the calling thread, as a system
    /// runs it on the thread of its call. SorvelPushService downloads the
    /// notification's image right there, so the call may block for up to
    /// 25 s (the image's time limit); SorvelPushServiceObjC fetches it on a
    /// thread of its own and returns at once. Call it off the app's UI thread,
    /// for example from the thread that received the payload.
    static std::string deliverRemoteNotification(const std::string& payloadJson) noexcept;
    /// Runs an extension on a payload as the system would (its time is up
    /// after 30 s on the SDK's clock) and hands the content it delivers to
    /// done, once, on the thread that delivers it; nothing is shown. False
    /// when the payload is refused.
    static bool runNotificationServiceExtension(
        std::shared_ptr<NotificationServiceExtension> extension, const std::string& payloadJson,
        std::function<void(NotificationContent)> done) noexcept;
    /// The user clicks a shown notification; false when none has that
    /// identifier. The response handler runs on the calling thread.
    static bool tapNotification(const std::string& identifier) noexcept;
    /// The user dismisses a shown notification; false when none has it.
    static bool dismissNotification(const std::string& identifier) noexcept;
    /// The notifications shown and not yet answered, oldest first.
    static std::vector<NotificationRequest> deliveredNotifications() noexcept;
    /// The app's translations of the SDK's user-facing texts (the push error
    /// descriptions); null: the English texts.
    static void setLocalizedStringProvider(
        std::function<std::string(const std::string&)> provider) noexcept;
};

}  // namespace sorvel
