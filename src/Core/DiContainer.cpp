#include "Core/DiContainer.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "ActionHistory/ActionHistoryDAO.h"
#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/GdprForgetMe.h"
#include "Common/KeyChain.h"
#include "Common/RegistryStates.h"
#include "Common/SdkState.h"
#include "Common/SvlLog.h"
#include "Core/ActiveSVLContext.h"
#include "Core/DefaultSVLContextController.h"
#include "Core/DisabledGuard.h"
#include "Core/DisabledSVLContext.h"
#include "Core/InAppViewWiring.h"
#include "Core/InitializingSVLContext.h"
#include "Core/UseCases.h"
#include "Data/DataProviders/DeviceRealtimeDataProvider.h"
#include "Data/DataProviders/DeviceStaticDataProvider.h"
#include "Data/Repository/Repository.h"
#include "Event/DailyFirstOpenAutoEventGenerator.h"
#include "Event/DeeplinkAutoEventGenerator.h"
#include "Event/DeeplinkParameterSet.h"
#include "Event/DefaultEventSender.h"
#include "Event/EventBuffer.h"
#include "Event/EventJournal.h"
#include "Event/EventPackageContainer.h"
#include "Event/EventSamplingFilter.h"
#include "Event/FirstOpenAutoEventGenerator.h"
#include "Event/NoWaitEventNameProvider.h"
#include "Event/SessionAutoEventGenerator.h"
#include "Event/TimerManager.h"
#include "Event/UserPropertyManager.h"
#include "Event/V1MigrationManager.h"
#include "InAppMessage/InAppMessageDAO.h"
#include "Network/ApiConnectionManager.h"
#include "Network/S3ConfigHandler.h"
#include "Platform/FileSystem.h"
#include "Platform/Mutex.h"

namespace sorvel {
namespace {

// One member: built on its first read, under its own lock, then kept.
template <typename T>
class Lazy {
  public:
    template <typename Build>
    std::shared_ptr<T> get(Build&& build) {
        platform::MutexLock lock(mu_);
        if (!value_) {
            value_ = build();
        }
        return value_;
    }
    // The member when it is built; never builds it.
    std::shared_ptr<T> peek() {
        platform::MutexLock lock(mu_);
        return value_;
    }
    // Forgets the member (a fresh SDK in tests); it is destroyed by the caller,
    // outside the lock.
    std::shared_ptr<T> take() {
        platform::MutexLock lock(mu_);
        return std::move(value_);
    }

  private:
    platform::Mutex mu_;
    std::shared_ptr<T> value_ GUARDED_BY(mu_);
};

// A member whose construction may fail: built once, then kept, present or
// absent; a failed construction is not tried again during the process.
template <typename T>
class LazyMaybe {
  public:
    template <typename Build>
    std::shared_ptr<T> get(Build&& build) {
        platform::MutexLock lock(mu_);
        if (!built_) {
            value_ = build();
            built_ = true;
        }
        return value_;
    }
    std::shared_ptr<T> take() {
        platform::MutexLock lock(mu_);
        built_ = false;
        return std::move(value_);
    }

  private:
    platform::Mutex mu_;
    bool built_ GUARDED_BY(mu_) = false;
    std::shared_ptr<T> value_ GUARDED_BY(mu_);
};

// The three states, built from the container's members when the controller
// asks for them.
class ContainerContextFactory final : public ISVLContextFactory {
  public:
    std::shared_ptr<ISVLContext> makeInitializingContext() override {
        auto& c = DiContainer::shared();
        return std::make_shared<InitializingSVLContext>(
            c.dataRegistry(), c.repository(), c.deviceStaticDataProvider(),
            c.deviceRealtimeDataProvider(), []() -> std::shared_ptr<ISVLContextController> {
                return DiContainer::shared().defaultSVLContextController();
            });
    }

    std::shared_ptr<ISVLContext> makeActiveContext() override {
        auto& c = DiContainer::shared();
        ActiveSVLContext::Generators generators;
        generators.session = [](LogEventAction logEventAction) {
            auto& c = DiContainer::shared();
            return std::make_shared<SessionAutoEventGenerator>(
                c.dataRegistry(), c.eventPackageContainer()->counters(),
                c.firstOpenAutoEventGenerator(), c.deeplinkParameterSet(), c.repository(),
                c.v1MigrationManager(), std::move(logEventAction));
        };
        generators.deeplink = [](LogEventAction logEventAction) {
            auto& c = DiContainer::shared();
            return std::make_shared<DeeplinkAutoEventGenerator>(
                c.dataRegistry(), c.deeplinkParameterSet(), std::move(logEventAction));
        };
        generators.dailyFirstOpen = [](LogEventAction logEventAction) {
            auto& c = DiContainer::shared();
            return DailyFirstOpenAutoEventGenerator::create(
                c.dataRegistry(), std::move(logEventAction), c.repository());
        };
        return std::make_shared<ActiveSVLContext>(c.dataRegistry(), c.repository(),
                                                  std::move(generators));
    }

    std::shared_ptr<ISVLContext> makeDisabledContext(const std::string& reason) override {
        return std::make_shared<DisabledSVLContext>(reason, DiContainer::shared().repository());
    }
};

// What had reached the event road up to a moment: the messages dispatched to
// the controller, and the events handed to the buffer (an in-app view's and
// the daily first open's come without a message).
struct Arrivals {
    std::uint64_t messages = 0;
    std::uint64_t events = 0;
};

Arrivals arrivalsAt(const DefaultSVLContextController* controller, const EventBuffer* buffer) {
    return {controller ? controller->messagesDispatched() : 0,
            buffer ? buffer->eventsHandedIn() : 0};
}

// What the app's applicationWillTerminate calls stored: an exit after one
// that stored everything has nothing of its own to lose but what arrived
// since, however long its store takes.
class TerminateRecord {
  public:
    struct State {
        bool announced = false;
        // Everything that had arrived by then is on disk.
        std::optional<Arrivals> stored;
    };

    void announce() {
        platform::MutexLock lock(mu_);
        state_.announced = true;
    }
    // A late one that ran out of its time may end after a later one: the
    // furthest point stays.
    void stored(Arrivals upTo) {
        platform::MutexLock lock(mu_);
        const Arrivals before = state_.stored.value_or(Arrivals{});
        state_.stored = Arrivals{std::max(before.messages, upTo.messages),
                                 std::max(before.events, upTo.events)};
    }
    State state() {
        platform::MutexLock lock(mu_);
        return state_;
    }

  private:
    platform::Mutex mu_;
    State state_ GUARDED_BY(mu_);
};

}  // namespace

struct DiContainer::Members {
    // This process's unsent-package journal, made before the settings store
    // opens, until the package container takes it.
    LazyMaybe<EventJournal> journal;
    // The thread of the event pipeline: the controller queue and the event
    // buffer's queue run on it, so an event's model, its package and the
    // package's journal record are one sequence, in one wake of one thread.
    // Kept across forget(): its thread starts with its first block.
    const std::shared_ptr<platform::DispatchQueue> pipeline =
        platform::DispatchQueue::makeSerial("sorvel-pipeline");
    Lazy<IDataContext> dataContext;
    Lazy<DataRegistry> dataRegistry;
    Lazy<UserPropertyManager> userPropertyManager;
    Lazy<DeviceRealtimeDataProvider> deviceRealtimeDataProvider;
    Lazy<DeviceStaticDataProvider> deviceStaticDataProvider;
    Lazy<DefaultEventSender> eventSender;
    Lazy<EventPackageContainer> eventPackageContainer;
    Lazy<EventBuffer> eventBuffer;
    Lazy<V1MigrationManager> v1MigrationManager;
    Lazy<Repository> repository;
    LazyMaybe<ActionHistoryDAO> actionHistoryDAO;
    Lazy<DeeplinkParameterSet> deeplinkParameterSet;
    Lazy<FirstOpenAutoEventGenerator> firstOpenAutoEventGenerator;
    Lazy<DefaultSVLContextController> defaultSVLContextController;
    LazyMaybe<InAppMessageDAO> inAppMessageDAO;
    Lazy<EventSamplingFilter> eventSamplingFilter;
    Lazy<SorvelDisabledGuard> disabledGuard;
    Lazy<TerminateRecord> terminateRecord;

    // Every member forgotten, the last built first; destroyed here, without
    // any member lock held.
    void forget() {
        // The registry goes last, once the writes the others queue on their
        // way out have landed: something else may still hold it, and a write
        // it carries past this point would reach the store after the next
        // launch has read it, and then be overwritten by that launch.
        auto context = dataContext.take();
        auto registry = dataRegistry.take();
        if (auto unused = journal.take()) {
            // Made and never used: nothing in it.
            unused->removeFile();
        }
        {
            auto terminated = terminateRecord.take();
            auto guard = disabledGuard.take();
            auto controller = defaultSVLContextController.take();
            auto firstOpen = firstOpenAutoEventGenerator.take();
            auto deeplinkSet = deeplinkParameterSet.take();
            auto repo = repository.take();
            auto history = actionHistoryDAO.take();
            auto inApp = inAppMessageDAO.take();
            auto sampling = eventSamplingFilter.take();
            auto v1 = v1MigrationManager.take();
            auto buffer = eventBuffer.take();
            auto packages = eventPackageContainer.take();
            auto sender = eventSender.take();
            auto staticData = deviceStaticDataProvider.take();
            auto realtimeData = deviceRealtimeDataProvider.take();
            auto properties = userPropertyManager.take();
            if (buffer) {
                buffer->waitUntilIdle();
            }
            // Something else may still hold the queue of unsent packages (a
            // block on the global queue that waits for its writes), and so
            // its journal, which stays locked and is not adopted by the next
            // launch: the queue is checkpointed now, as a stopping SDK does,
            // and lands before the next launch reads the stored list.
            if (packages) {
                packages->updateUnsentEventPackagesInDataRegistry();
                packages->waitForStoreWrites();
            }
        }
        if (registry) {
            (void)registry->waitForPendingWrites();
        }
    }
};

// The container as a part of the SDK's state: a retired SDK's container lets
// go of its members, the last built first, once what they queued is stored.
struct DiContainerPart : SdkStatePart {
    static constexpr SdkSlot kSlot = SdkSlot::container;

    explicit DiContainerPart(DiContainer::PassKey key) : container(key) {}
    void retire() override { container.members_->forget(); }

    DiContainer container;
};

DiContainer& DiContainer::shared() {
    return SdkState::shared()
        .part<DiContainerPart>([] { return std::make_unique<DiContainerPart>(PassKey{}); })
        .container;
}

DiContainer::DiContainer(PassKey) : members_(std::make_unique<Members>()) {}

DiContainer::~DiContainer() = default;

std::shared_ptr<IDataContext> DiContainer::dataContext() {
    // A first launch creates the settings stores off the caller's thread.
    return members_->dataContext.get([this] {
        // The journal is locked before the store takes its copy of the values:
        // another process on this folder that writes the unsent list from now
        // on sees this one running and keeps its own journal, so what this
        // process's copy misses the journals still hold.
        members_->journal.get([]() -> std::shared_ptr<EventJournal> {
            auto made = EventJournal::create(platform::preferencesFolder());
            if (!made) {
                SvlLog::error("UnsentPackageStore :: no journal : " + made.status().message(),
                              false);
                return nullptr;
            }
            return std::move(made).value();
        });
        return std::make_shared<DeferredDataContext>();
    });
}

std::shared_ptr<DataRegistry> DiContainer::dataRegistry() {
    return members_->dataRegistry.get([this] {
        auto registry = std::make_shared<DataRegistry>(dataContext());
        // The hooks through which the lower layers reach the core
        // (Common/CoreHooks.h). Each resolves what it calls when it is
        // called, so none needs a member that is not built yet.
        S3ConfigHandler::shared().setDataRegistry(registry);
        GdprForgetMe::shared().setGdprForgetMeHook([](GdprForgetMe::Done done) {
            GdprForgetMeUseCase(DiContainer::shared().repository(), std::move(done)).execute();
        });
        ApiConnectionManager::setDisableSdkHook([](const std::string& reason) {
            DiContainer::shared().defaultSVLContextController()->disableSDK(reason);
        });
        wireInAppViews();
        return registry;
    });
}

std::shared_ptr<UserPropertyManager> DiContainer::userPropertyManager() {
    return members_->userPropertyManager.get(
        [this] { return std::make_shared<UserPropertyManager>(dataRegistry()); });
}

std::shared_ptr<DeviceRealtimeDataProvider> DiContainer::deviceRealtimeDataProvider() {
    return members_->deviceRealtimeDataProvider.get([this] {
        return std::make_shared<DeviceRealtimeDataProvider>(dataRegistry(),
                                                            Util_keychain::shared());
    });
}

std::shared_ptr<DeviceStaticDataProvider> DiContainer::deviceStaticDataProvider() {
    return members_->deviceStaticDataProvider.get(
        [this] { return std::make_shared<DeviceStaticDataProvider>(dataRegistry()); });
}

std::shared_ptr<DefaultEventSender> DiContainer::eventSender() {
    return members_->eventSender.get([this] {
        return std::make_shared<DefaultEventSender>(dataRegistry(), deviceRealtimeDataProvider());
    });
}

std::shared_ptr<EventPackageContainer> DiContainer::eventPackageContainer() {
    return members_->eventPackageContainer.get([this] {
        auto registry = dataRegistry();
        return std::make_shared<EventPackageContainer>(eventSender(), std::move(registry), nullptr,
                                                       nullptr, members_->journal.take());
    });
}

std::shared_ptr<EventBuffer> DiContainer::eventBuffer() {
    return members_->eventBuffer.get([this] {
        return EventBuffer::create(eventPackageContainer(),
                                   std::make_shared<DefaultNowaitEventNameProvider>(),
                                   EventUploadIntervalManager::shared(), members_->pipeline);
    });
}

std::shared_ptr<V1MigrationManager> DiContainer::v1MigrationManager() {
    return members_->v1MigrationManager.get([this] {
        return std::make_shared<V1MigrationManager>(dataRegistry(), eventBuffer(),
                                                    userPropertyManager(), eventPackageContainer());
    });
}

std::shared_ptr<Repository> DiContainer::repository() {
    return members_->repository.get([this] {
        auto properties = userPropertyManager();
        auto registry = dataRegistry();
        auto buffer = eventBuffer();
        auto history = actionHistoryDAO();
        return std::make_shared<Repository>(
            std::move(properties), std::move(registry), std::move(buffer), eventSamplingFilter(),
            deviceRealtimeDataProvider(), deviceStaticDataProvider(), std::move(history),
            inAppMessageDAO());
    });
}

std::shared_ptr<ActionHistoryDAO> DiContainer::actionHistoryDAO() {
    return members_->actionHistoryDAO.get([this]() -> std::shared_ptr<ActionHistoryDAO> {
        // Its failure is the repository's to log; the SDK runs without a
        // local message history.
        try {
            auto dao = ActionHistoryDAO::open(dataRegistry());
            return dao ? std::move(dao).value() : nullptr;
        } catch (const std::exception&) {
            return nullptr;
        }
    });
}

std::shared_ptr<InAppMessageDAO> DiContainer::inAppMessageDAO() {
    // Absent when the campaign database cannot be opened; the repository
    // logs it, and the SDK runs without in-app messages.
    return members_->inAppMessageDAO.get(
        [this] { return InAppMessageDAO::create(dataRegistry()); });
}

std::shared_ptr<DeeplinkParameterSet> DiContainer::deeplinkParameterSet() {
    return members_->deeplinkParameterSet.get(
        [this] { return std::make_shared<DeeplinkParameterSet>(dataRegistry()); });
}

std::shared_ptr<FirstOpenAutoEventGenerator> DiContainer::firstOpenAutoEventGenerator() {
    return members_->firstOpenAutoEventGenerator.get(
        [this] { return std::make_shared<FirstOpenAutoEventGenerator>(dataRegistry()); });
}

std::shared_ptr<DefaultSVLContextController> DiContainer::defaultSVLContextController() {
    return members_->defaultSVLContextController.get([this] {
        return DefaultSVLContextController::create(
            dataRegistry(), repository(), std::make_shared<ContainerContextFactory>(),
            [] { DiContainer::shared().reset(); }, members_->pipeline);
    });
}

std::shared_ptr<EventSamplingFilter> DiContainer::eventSamplingFilter() {
    return members_->eventSamplingFilter.get(
        [this] { return EventSamplingFilter::create(dataRegistry()); });
}

std::shared_ptr<SorvelDisabledGuard> DiContainer::disabledGuard() {
    return members_->disabledGuard.get(
        [this] { return SorvelDisabledGuard::create(dataRegistry()); });
}

namespace {

// Runs work on a thread of its own and waits for it until the deadline; the
// work goes on after that, holding what it captured.
bool runWithin(std::chrono::steady_clock::time_point deadline, std::function<void()> work) {
    struct Done {
        std::mutex mu;
        std::condition_variable cv;
        bool done = false;
    };
    auto done = std::make_shared<Done>();
    std::thread([done, work = std::move(work)] {
        work();
        std::lock_guard<std::mutex> lock(done->mu);
        done->done = true;
        done->cv.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(done->mu);
    return done->cv.wait_until(lock, deadline, [&] { return done->done; });
}

// Runs the buffer's steps on the event road within the budget: after the
// controller's queued messages, then the settings store is compacted (the app
// may end in the background without another word: its store is left without
// a log or pages it no longer uses). Each part is held only for its own wait:
// a wait that outlasts its budget must not keep the SDK's parts alive past
// their owner (a relaunch in tests would have the old ones write over the new
// ones' stores). True at once when the road was never built.
bool settleRoad(std::weak_ptr<DefaultSVLContextController> controller,
                std::weak_ptr<EventBuffer> buffer, std::weak_ptr<DataRegistry> registry,
                std::chrono::milliseconds budget,
                std::function<void(const std::weak_ptr<EventBuffer>&)> bufferSteps) {
    if (controller.expired() || buffer.expired()) {
        return true;
    }
    return runWithin(std::chrono::steady_clock::now() + budget,
                     [controller, buffer, registry, bufferSteps = std::move(bufferSteps)] {
                         if (auto c = controller.lock()) {
                             c->waitForDispatched();
                         }
                         bufferSteps(buffer);
                         if (auto r = registry.lock()) {
                             r->compact();
                         }
                     });
}

}  // namespace

bool DiContainer::makeDurable(std::chrono::milliseconds budget) {
    return settleRoad(members_->defaultSVLContextController.peek(), members_->eventBuffer.peek(),
                      members_->dataRegistry.peek(), budget,
                      [](const std::weak_ptr<EventBuffer>& buffer) {
                          if (auto b = buffer.lock()) {
                              b->waitUntilStored();
                          }
                      });
}

void DiContainer::drainRoad(bool withUploads) {
    if (auto c = members_->defaultSVLContextController.peek()) {
        c->waitForDispatched();
    }
    if (auto b = members_->eventBuffer.peek()) {
        if (withUploads) {
            b->waitUntilIdle();
        } else {
            b->waitUntilStored();
        }
    } else if (auto p = members_->eventPackageContainer.peek()) {
        p->waitForStoreWrites();
    }
}

bool DiContainer::drain(std::chrono::milliseconds resendDeadline) {
    drainRoad(true);
    const bool resendIdle = GdprForgetMe::shared().waitForResendIdle(resendDeadline);
    // The re-send runs the forget-me use case, which may have queued more.
    drainRoad(true);
    if (auto r = members_->dataRegistry.peek()) {
        // A value that missed the disk is the durable wait's to report.
        (void)r->waitForPendingWrites();
    }
    return resendIdle;
}

Status DiContainer::waitForDurableWrites() {
    drainRoad(false);
    if (auto r = members_->dataRegistry.peek()) {
        return r->waitForPendingWrites();
    }
    return Status::ok();
}

bool DiContainer::settleForExit(std::chrono::milliseconds budget) {
    auto record = members_->terminateRecord.get([] { return std::make_shared<TerminateRecord>(); });
    record->announce();
    auto controller = members_->defaultSVLContextController.peek();
    auto buffer = members_->eventBuffer.peek();
    if (!controller || !buffer) {
        // Nothing reached a road never built.
        record->stored(arrivalsAt(controller.get(), buffer.get()));
        return true;
    }
    // Read before the controller's queue is waited for, which runs these.
    const std::uint64_t messages = controller->messagesDispatched();
    return settleRoad(controller, buffer, members_->dataRegistry.peek(), budget,
                      [record, messages](const std::weak_ptr<EventBuffer>& buffer) {
                          auto withBuffer = [&buffer](auto&& step) {
                              if (auto b = buffer.lock()) {
                                  step(*b);
                              }
                          };
                          withBuffer([&record, messages](EventBuffer& b) {
                              // The messages have run: the events they handed in are counted.
                              const Arrivals upTo{messages, b.eventsHandedIn()};
                              b.saveUnsentEvents();
                              if (FvnUtil::isNetworkConnected()) {
                                  b.flushAllNow();
                              }
                              b.waitUntilStored();
                              record->stored(upTo);
                          });
                          // The uploads, then a checkpoint without the packages they delivered.
                          withBuffer([](EventBuffer& b) { b.waitUntilIdle(); });
                          withBuffer([](EventBuffer& b) {
                              b.saveUnsentEvents();
                              b.waitUntilStored();
                          });
                      });
}

namespace {

// The exit's error line, or nothing when what the store did not finish holds
// nothing the app recorded that is not on disk already.
std::optional<std::string> exitLossLine(const TerminateRecord::State& terminated, Arrivals now,
                                        bool inTime, std::size_t waiting) {
    const bool arrivedSince = !terminated.stored || now.messages > terminated.stored->messages ||
                              now.events > terminated.stored->events;
    if (!arrivedSince) {
        return std::nullopt;
    }
    if (inTime) {
        return "SDK exit :: the last checkpoint of the unsent events did not reach the disk; "
               "the journal keeps them for the next launch";
    }
    const std::string held = " (" + std::to_string(waiting) +
                             " events not yet in the event buffer, and the messages it had not "
                             "handled yet, may be lost)";
    if (terminated.stored) {
        return "SDK exit :: the process ended before the SDK stored what was recorded after "
               "SorvelHost::applicationWillTerminate" +
               held + "; what was recorded before it is stored";
    }
    return "SDK exit :: the process ended before the SDK stored what it held" + held +
           (terminated.announced ? "; SorvelHost::applicationWillTerminate had not stored it "
                                   "yet when its time ran out"
                                 : "; call SorvelHost::applicationWillTerminate before main "
                                   "returns");
}

}  // namespace

bool DiContainer::storeAtExit(std::chrono::milliseconds budget) {
    std::weak_ptr<DefaultSVLContextController> controller =
        members_->defaultSVLContextController.peek();
    std::weak_ptr<EventBuffer> buffer = members_->eventBuffer.peek();
    std::weak_ptr<EventPackageContainer> packages = members_->eventPackageContainer.peek();
    if (buffer.expired() || packages.expired()) {
        return true;
    }
    auto checkpointed = std::make_shared<std::atomic<bool>>(false);
    const bool inTime = runWithin(std::chrono::steady_clock::now() + budget,
                                  [controller, buffer, packages, checkpointed] {
                                      if (auto c = controller.lock()) {
                                          c->waitForDispatched();
                                      }
                                      if (auto b = buffer.lock()) {
                                          b->waitUntilStored();
                                      }
                                      if (auto p = packages.lock()) {
                                          checkpointed->store(p->storeForExit());
                                      }
                                  });
    if (inTime && checkpointed->load()) {
        return true;
    }
    std::size_t waiting = 0;
    Arrivals now;
    {
        auto c = controller.lock();
        auto b = buffer.lock();
        waiting = b ? b->eventsNotYetBuffered() : 0;
        now = arrivalsAt(c.get(), b.get());
    }
    const auto record = members_->terminateRecord.peek();
    const auto line =
        exitLossLine(record ? record->state() : TerminateRecord::State{}, now, inTime, waiting);
    if (!line) {
        return true;
    }
    SvlLog::error(*line, false);
    return false;
}

void DiContainer::reset() {
    TimerManager::shared().stopTimer();
    userPropertyManager()->clearUserProperty();
    eventBuffer()->clearBuffer();
    deeplinkParameterSet()->clearSuccessParameterSet();
}

}  // namespace sorvel
