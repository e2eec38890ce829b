#pragma once

// The host-control API: the one way a host (the test suite, the sample app,
// the benchmarks, the server double's tests) changes the simulated OS the SDK
// runs on. The stand-ins themselves offer only what the SDK reads; each call
// here is implemented beside the state it changes. Every call is safe from
// any thread, while SDK threads run.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Clock.h"
#include "Platform/Device.h"
#include "Platform/SystemLog.h"
#include "Platform/UI/View.h"
#include "Platform/UserNotificationCenter.h"
#include "sorvel/Value.h"

namespace sorvel::platform::host {

// ---- Where data lives (FileSystem.h reads them) ---------------------------

// The app's home folder: Documents, Library/Preferences (the settings stores),
// Library/Caches and tmp live below it. Without one the SDK uses
// $SORVEL_HOME, else $XDG_DATA_HOME/sorvelkv/<bundle id> (XDG_DATA_HOME
// defaulting to ~/.local/share). Folders the SDK creates there are 0700.
void setHomeFolder(const std::string& path);
// The keychain lives outside the app's data folder so it survives a wipe of
// it; without one it is the home folder's path with "-keychain" appended.
void setKeychainFolder(const std::string& path);
// What the app itself may do (SorvelHost::setDataFolder): the home folder
// becomes path, with the keychain beside it. Only until the SDK first asks
// for either folder (FileSystem.h); from then on both stay for the rest of the
// process, and the home folder in use is returned when path names another.
// The two calls above stay the host's, unconditional.
std::optional<std::string> setDataFolder(const std::string& path);

// ---- Time -----------------------------------------------------------------

// The clock every delayed block and timer uses (null: the system clock).
// Pending delayed blocks and timers keep the time they had left, now measured
// on the new clock.
void setClock(std::shared_ptr<IClock> clock);
// The device's time zone for every local day and calendar field (null: the
// system's zone).
void setTimeZone(std::shared_ptr<ITimeZone> zone);

// ---- The app's bundle -----------------------------------------------------

void setBundleId(const std::string& id);
// What the app itself may do (SorvelHost::setBundleId; FileSystem.cpp, beside
// the folders' state): the default home folder and the keychain's account
// follow the bundle id, so it changes only until the SDK first uses either
// folder (FileSystem.h), as setDataFolder's path does. From then on it stays
// for the rest of the process, and the id in use is returned when id names
// another. setBundleId above stays the host's, unconditional.
std::optional<std::string> setAppBundleId(const std::string& id);
void setVersions(const std::string& version, const std::string& build);
// A typed Info key (absent removes it); an integer and a string stay distinct.
void setInfo(const std::string& key, const std::optional<Value>& value);
void clearInfo();
// A bundle id the app named once the SDK used another.
struct IgnoredBundleId {
    std::string inUse;
    std::string named;
};
// Loads {"bundleId": ..., "version": ..., "build": ..., "info": {...}} from a
// JSON file; false (and nothing changed) when it cannot be read or parsed. Its
// bundle id is taken as setAppBundleId takes one; when that refuses it, the
// rest of the file still applies and `ignored` (when given) says so.
bool loadBundleFromJsonFile(const std::string& path,
                            std::optional<IgnoredBundleId>* ignored = nullptr);

// ---- The application's state ----------------------------------------------

// Post the application-state notifications on NotificationCenter::shared(),
// synchronously on the calling thread (a mobile OS posts them on the main
// thread): the app became active, or is about to resign being active.
void applicationDidBecomeActive();
void applicationWillResignActive();

// ---- The device -----------------------------------------------------------

// The user's preferred languages, most preferred first (empty: the device
// lists none); absent goes back to the environment's.
void setPreferredLanguages(std::optional<std::vector<std::string>> languages);
void setCarrier(const std::optional<CarrierInfo>& carrier);
void setRadioAccessTechnology(const std::optional<std::string>& radio);
void setAdvertisingIdentifier(const std::string& id);
void setTrackingAuthorizationStatus(TrackingAuthorizationStatus status);
void setNotificationAuthorizationStatus(NotificationAuthorizationStatus status);
// Pin the model or OS version the SDK sees (absent: the machine's own).
void setDeviceModel(const std::optional<std::string>& model);
void setOsVersion(const std::optional<std::string>& version);

// ---- The network ----------------------------------------------------------

// The reachability status ("wifi", "mobile", "unknown") wins over the route
// tables; absent removes the override. Every change of the override is
// posted, even one that gives the same text: for the app the network changed.
void setReachability(std::optional<std::string> status);
// Read these files instead of /proc/net/route and /proc/net/ipv6_route
// (an empty path: the system's). Nothing watches them: a status is read from
// them when the SDK asks for one.
void setRouteTableFiles(const std::string& ipv4, const std::string& ipv6);
// Maps one of the maker's hosts to a base URL such as "http://127.0.0.1:8123",
// as a URL-protocol stub would: the request goes to the base, its path and
// query appended to the base's path. "*" maps every host. Plain http is
// allowed only for a mapped request.
void mapHttpHost(const std::string& host, const std::string& baseUrl);
void clearHttpHostMappings();
// Caps every request's time-out (tests shorten it); absent restores the
// requests' own time-outs.
void setHttpTimeout(std::optional<Millis> timeout);

// ---- The system log -------------------------------------------------------

// Where system-log lines go (null: stderr).
void setSystemLogSink(std::shared_ptr<ILogSink> sink);

// ---- The screen, windows and touches (Platform/UI) ---------------------------

// The main screen's size in portrait (default 390 x 844); landscape swaps it.
void setScreenSize(Size portraitSize);
// The interface orientation without a notification (a host's starting state):
// the screen's bounds follow it.
void setInterfaceOrientation(InterfaceOrientation orientation);
// The device turns: a portrait or landscape device orientation becomes the
// interface orientation (device landscape left is interface landscape right),
// every window takes the new screen bounds (and the insets, when given), then
// the device-orientation notification is posted on the calling thread, which
// must be the main thread. Face up, face down and unknown change nothing but
// are posted too.
void rotateDevice(DeviceOrientation orientation, std::optional<EdgeInsets> insets = std::nullopt);
// Puts a window on top of the application's list; makeKey makes it the only
// key window. Main thread.
std::shared_ptr<Window> addWindow(const Rect& frame, double level, const EdgeInsets& insets,
                                  bool makeKey);
void removeWindow(const Window* window);
void removeAllWindows();
// What Application::openURL hands addresses to (null: nothing opens them).
void setOpenUrlHandler(std::function<void(const std::string& url)> handler);
// The text measurer labels use (null: the synthetic metrics).
void setTextMeasurer(std::shared_ptr<const ITextMeasurer> measurer);
// ---- User notifications (UserNotificationHost.cpp) -------------------------

// Who shows the notifications the centre delivers (null: a fresh recording
// presenter).
void setNotificationPresenter(std::shared_ptr<INotificationPresenter> presenter);
// Shows notifications on the desktop through org.freedesktop.Notifications
// on the session bus at busAddress (empty: the session bus of the
// environment). Without a reachable bus it logs once and keeps recording;
// false then.
bool useDesktopNotifications(const std::string& busAddress);
// The app's notification-centre delegate: gets every response (a tap, a
// dismissal) on the thread that reports it.
void setNotificationResponseHandler(UserNotificationCenter::ResponseHandler handler);
// The app's notification service extension (null: none), run on every
// remote notification before it is shown.
void setNotificationServiceExtension(std::shared_ptr<NotificationServiceExtension> extension);
// A remote notification arrives with this payload (a JSON object of at most
// MAX_REMOTE_PAYLOAD_BYTES): it goes through the service extension, when one
// is set, and is then shown. The request's identifier, or absent (with a
// system-log line) when the payload is refused.
inline constexpr std::size_t MAX_REMOTE_PAYLOAD_BYTES = 64 * 1024;
std::optional<std::string> deliverRemoteNotification(const std::string& payloadJson);
// Runs an extension on a payload as the OS would (time will expire after
// SERVICE_EXTENSION_TIME on the current clock) and hands the content it
// delivers to done, once; nothing is shown. False when the payload is refused.
inline constexpr Millis SERVICE_EXTENSION_TIME = Millis(30000);
bool runNotificationServiceExtension(std::shared_ptr<NotificationServiceExtension> extension,
                                     const std::string& payloadJson,
                                     std::function<void(NotificationContent)> done);
// The user clicks (the default action) or dismisses a delivered
// notification; false when none has that identifier.
bool tapNotification(const std::string& identifier);
bool dismissNotification(const std::string& identifier);
// Translates the SDK's user-facing texts (null: every text stands as it is).
void setLocalizedStringProvider(std::function<std::string(const std::string&)> provider);

}  // namespace sorvel::platform::host
