#pragma once

#include <chrono>
#include <memory>

#include "Base/Status.h"

namespace sorvel {

class IDataContext;
class DataRegistry;
class UserPropertyManager;
class DeviceRealtimeDataProvider;
class DeviceStaticDataProvider;
class DefaultEventSender;
class EventPackageContainer;
class EventBuffer;
class V1MigrationManager;
class Repository;
class DeeplinkParameterSet;
class FirstOpenAutoEventGenerator;
class DefaultSVLContextController;
class EventSamplingFilter;
class SorvelDisabledGuard;
class ActionHistoryDAO;
class InAppMessageDAO;

// The owner of every long-lived object of the SDK, one per SDK lifetime (a
// part of Common/SdkState.h, reached through shared()). Each member is
// built on its first read, after (and from) the members it is made of, and is
// then kept: every part of the SDK shares one registry, one buffer, one
// repository, one controller. The message-history and campaign stores are
// absent when their databases cannot be opened; the repository takes that path.
//
// A member is built under its own lock, which its builder holds while it
// reads the members it needs; those form no cycle, so two first reads never
// wait for each other. Reads from any thread are safe.
class DiContainer {
    struct PassKey {
        explicit PassKey() = default;
    };
    friend struct DiContainerPart;

  public:
    static DiContainer& shared();

    std::shared_ptr<IDataContext> dataContext();
    std::shared_ptr<DataRegistry> dataRegistry();
    std::shared_ptr<UserPropertyManager> userPropertyManager();
    std::shared_ptr<DeviceRealtimeDataProvider> deviceRealtimeDataProvider();
    std::shared_ptr<DeviceStaticDataProvider> deviceStaticDataProvider();
    std::shared_ptr<DefaultEventSender> eventSender();
    std::shared_ptr<EventPackageContainer> eventPackageContainer();
    std::shared_ptr<EventBuffer> eventBuffer();
    std::shared_ptr<V1MigrationManager> v1MigrationManager();
    std::shared_ptr<Repository> repository();
    // The message-history store's door; absent (for the life of the process)
    // when the database cannot be opened.
    std::shared_ptr<ActionHistoryDAO> actionHistoryDAO();
    std::shared_ptr<DeeplinkParameterSet> deeplinkParameterSet();
    std::shared_ptr<FirstOpenAutoEventGenerator> firstOpenAutoEventGenerator();
    std::shared_ptr<DefaultSVLContextController> defaultSVLContextController();
    // The campaign store's access object; null when its database cannot be
    // opened, and then for the rest of the process.
    std::shared_ptr<InAppMessageDAO> inAppMessageDAO();
    std::shared_ptr<EventSamplingFilter> eventSamplingFilter();
    // The facade's disabled guard over dataRegistry (Core/DisabledGuard.h).
    std::shared_ptr<SorvelDisabledGuard> disabledGuard();

    // Run when the SDK is disabled: stops every registered timer, clears the
    // user properties, the event buffer and its queued packages, and the used
    // deeplink keys. The members stay; only their contents go.
    void reset();

    // Makes what the app recorded before the call durable: waits until the
    // controller has handled every message dispatched before it (a resign's
    // save among them) and the event pipeline has stored what they queued.
    // Waits at most `budget` (the work goes on after it), builds nothing that
    // is not built yet; true when everything was stored in time.
    bool makeDurable(std::chrono::milliseconds budget);
    // The end of the process: packs what the buffer holds, stores it, sends
    // what waits (when the network is there) and gives the uploads at most
    // `budget`, then writes a last checkpoint of what is left. True when
    // everything was stored and every upload ended in time. Once it stored
    // what had arrived, the exit handler knows that much is on disk.
    bool settleForExit(std::chrono::milliseconds budget);
    // A normal end of the process (a return from main, exit): waits at most
    // `budget` for the controller's messages and the buffer's blocks (whose
    // events the journal then holds), with no upload, and writes a last
    // checkpoint, deleting this process's journal when that holds
    // everything. Logs what could not be stored, unless settleForExit stored
    // everything and nothing arrived since: then there is nothing to lose.
    // True when nothing the app recorded may be lost (or nothing was ever
    // built).
    bool storeAtExit(std::chrono::milliseconds budget);
    // The one drain of the SDK's queues, for hosts and tests: every message
    // the controller had before the call has run, then every block of the
    // event buffer they queued, the upload rounds those started and the
    // checkpoints all of them asked for, then an erasure re-send in flight,
    // then the settings writes. The queues are waited for without a bound
    // (each of their blocks ends, an upload with its request's timeout); the
    // re-send, which retries for minutes without a network, at most
    // `resendDeadline`: false when it was still in flight then. Builds nothing
    // that is not built yet; never call it from one of the SDK's queues.
    [[nodiscard]] bool drain(std::chrono::milliseconds resendDeadline = std::chrono::seconds(30));
    // The one wait for durable writes: every message the controller had
    // before the call has run, every block of the buffer they queued, and the
    // checkpoints of the unsent packages and the settings writes all of them
    // asked for are on disk. Waits for no upload. Fails when a value did not
    // reach the disk (the settings store has logged why). Builds nothing that
    // is not built yet; never call it from one of the SDK's queues.
    [[nodiscard]] Status waitForDurableWrites();

    // Only shared() makes one.
    explicit DiContainer(PassKey);
    ~DiContainer();

  private:
    // The controller's messages, the buffer's blocks (and their upload
    // rounds when asked) and the checkpoints they asked for.
    void drainRoad(bool withUploads);

    struct Members;
    const std::unique_ptr<Members> members_;
};

}  // namespace sorvel
