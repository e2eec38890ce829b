#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "Network/ApiModel.h"
#include "Network/Model/CommonModel.h"
#include "Platform/Mutex.h"

namespace sorvel {

class DataRegistry;
class DeviceRealtimeDataProvider;
struct RealtimeData;

// The text of the common block kept from one request to the next, for one
// registry. The values a request stores again itself (the realtime device
// data), the OS notification permission and the time are read for every
// request; a change of one of them writes the text again. The other values
// (the app's ids, versions and keys) are read again only once the registry
// reported a change of their keys; the wipe of the user's data is followed by
// a put of the app key, which counts as such a change. A change made while
// another thread writes the same key may reach the next request late.
class CommonBlockCache {
  public:
    explicit CommonBlockCache(std::shared_ptr<DataRegistry> registry);
    CommonBlockCache(const CommonBlockCache&) = delete;
    CommonBlockCache& operator=(const CommonBlockCache&) = delete;

    // The kept text when its values are `fresh`'s (and the permission's) and
    // nothing it read from the registry changed since; otherwise a new text
    // of those values and the stored ones, read now.
    std::shared_ptr<const CommonBlockText> textFor(const RealtimeData& fresh, bool pushEnableOs);
    // How many times the text was written (tests).
    std::uint64_t rebuilds() const { return rebuilds_.load(); }

  private:
    const std::shared_ptr<DataRegistry> registry_;
    // Counts the registry's changes of the stored keys; the listeners hold it.
    const std::shared_ptr<std::atomic<std::uint64_t>> changes_;
    platform::Mutex mu_;
    std::shared_ptr<const CommonBlockText> text_ GUARDED_BY(mu_);
    std::uint64_t builtAtChange_ GUARDED_BY(mu_) = 0;
    std::atomic<std::uint64_t> rebuilds_{0};
};

// Builds the common block of a request from the stored and current device
// data, with the current time as its request time.
class CommonModelProvider : public IDataModelProvider<CommonModel> {
  public:
    CommonModelProvider(std::shared_ptr<DataRegistry> registry,
                        std::shared_ptr<DeviceRealtimeDataProvider> realtimeProvider,
                        std::shared_ptr<CommonBlockCache> cache = nullptr);

    // Refreshes the changing device data first (as a request does, see
    // DeviceRealtimeDataProvider::refreshDataForRequest).
    CommonModel getDataModel() override;
    // The same block with its text taken from the cache where it still holds
    // (written anew without one).
    CommonBlock getCommonBlock();

    // The OS notification permission. Off the main thread it is read from the
    // OS and handed to the permission listener; on the main thread (which must not
    // block waiting for the OS) an error line is logged and the stored value
    // is used.
    bool getOsPushEnable();

    // Receives each permission read from the OS; the push subsystem sets it
    // (Common/CoreHooks.h).
    using OsPushEnableListener = std::function<void(bool)>;
    static void setOsPushEnableListener(OsPushEnableListener listener);
    // Reads the OS notification permission and tells the listener, as a
    // request does; never on the main thread, where the read may wait.
    static bool readOsPushEnable();

    // The values kept between requests, into `model`.
    static void readStored(const DataRegistry& registry, CommonModel& model);
    // The values every request reads again, into `model`.
    static void fillFresh(const RealtimeData& data, bool pushEnableOs, CommonModel& model);

  private:
    // The values every request reads again, after the refresh: the ones the
    // refresh stored while the registry still holds them, else read now.
    std::shared_ptr<const RealtimeData> freshData();

    std::shared_ptr<DataRegistry> registry_;
    std::shared_ptr<DeviceRealtimeDataProvider> realtimeProvider_;
    std::shared_ptr<CommonBlockCache> cache_;
};

}  // namespace sorvel
