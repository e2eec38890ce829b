// The stored list of unsent packages as the next launch restores it: any
// bytes under the key either give packages or are logged and skipped. What
// is restored, written back and restored again keeps every event as it was.

#include <cstddef>
#include <cstdint>

#include "Common/DataRegistry.h"
#include "Common/DataRegistryKey.h"
#include "Event/EventCounters.h"
#include "Event/UnsentPackageStore.h"
#include "FuzzSupport.h"
#include "Platform/ProcessState.h"

using namespace sorvel;
namespace fz = sorvel::fuzz;

namespace {

// One registry and one store for the whole run: each starts threads, which
// would cost more than the restore itself. The store never writes here.
std::shared_ptr<DataRegistry>& registry() {
    static platform::NoDestructor<std::shared_ptr<DataRegistry>> r(fz::memoryRegistry());
    return r.get();
}

UnsentPackageStore::Packages restore(const Value::Bytes& stored) {
    static platform::NoDestructor<UnsentPackageStore> store(
        registry(), std::make_shared<EventCounters>(registry()),
        [] { return UnsentPackageStore::Packages{}; });
    registry()->putData(stored, DataRegistryKey::DATA_UNSENT_EVENTPACKAGES);
    return store.get().load();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fz::setUpProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto packages = restore(Value::Bytes(data, data + size));
    const std::string text = UnsentPackageStore::encode(packages);
    const auto again = restore(Value::Bytes(text.begin(), text.end()));
    // The writer caps the list; what it wrote comes back whole.
    fz::check(again.size() <= packages.size(), "restoring what was written gave more packages",
              text);
    for (std::size_t i = 0; i < again.size(); ++i) {
        fz::check(again[i]->eventsJson() == packages[i]->eventsJson(),
                  "a restored package changed when written and restored again", text);
    }
    fz::check(
        UnsentPackageStore::encode(again).size() == text.size() || again.size() < packages.size(),
        "writing a restored list is not stable", text);
    return 0;
}
