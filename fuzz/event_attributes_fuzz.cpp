// Event names and attribute maps through the public calls an app makes, as
// an app would: the SDK started on a manual clock with no network. Any name
// and any map (nested, NaN, infinities, ill-formed UTF-8, NUL bytes) is
// recorded or dropped with a log line; nothing crashes.

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "Core/DefaultSVLContextController.h"
#include "Core/DiContainer.h"
#include "Event/EventBuffer.h"
#include "FuzzSupport.h"
#include "Platform/Host.h"
#include "sorvel/SorvelHost.h"
#include "sorvel/SorvelKV.h"

using namespace sorvel;
namespace fz = sorvel::fuzz;

namespace {

Value makeValue(fz::Input& in, int depth);

Value::Map makeMap(fz::Input& in, int depth) {
    Value::Map map;
    const int count = in.byte() % 6;
    for (int i = 0; i < count && !in.empty(); ++i) {
        std::string key = in.text(24);
        map.insert_or_assign(std::move(key), makeValue(in, depth + 1));
    }
    return map;
}

Value makeValue(fz::Input& in, int depth) {
    switch (in.byte() % 12) {
        case 0:
            return Value();
        case 1:
            return Value((in.byte() & 1) != 0);
        case 2:
            return Value(static_cast<std::int64_t>(in.u64()));
        case 3:
            return Value(in.u64());
        case 4:
            return Value(in.f64());
        case 5: {
            // NaN, the infinities and the extremes, which bytes rarely spell.
            static constexpr double special[] = {
                std::numeric_limits<double>::quiet_NaN(),  std::numeric_limits<double>::infinity(),
                -std::numeric_limits<double>::infinity(),  std::numeric_limits<double>::max(),
                std::numeric_limits<double>::denorm_min(), -0.0};
            return Value(special[in.byte() % std::size(special)]);
        }
        case 6: {
            const std::string t = in.text(255);
            return Value(Value::Bytes(t.begin(), t.end()));
        }
        case 7:
        case 8:
            return Value(in.text(255));
        case 9: {
            Value::Array list;
            const int count = depth < 8 ? in.byte() % 5 : 0;
            for (int i = 0; i < count && !in.empty(); ++i) {
                list.push_back(makeValue(in, depth + 1));
            }
            return Value(std::move(list));
        }
        case 10:
            return depth < 8 ? Value(makeMap(in, depth)) : Value();
        default: {
            // A deep chain of maps, deeper than any store accepts.
            const int levels = 1 + in.byte() * 2;
            Value v(in.text(8));
            for (int i = 0; i < levels; ++i) {
                v = Value(Value::Map{{"k", std::move(v)}});
            }
            return v;
        }
    }
}

SorvelKvAttrModel makeModel(fz::Input& in) {
    SorvelKvAttrModel model;
    const int count = in.byte() % 8;
    for (int i = 0; i < count && !in.empty(); ++i) {
        const std::string key = in.text(60);
        switch (in.byte() % 8) {
            case 0:
                model.setAttrDataString(key, in.text(255));
                break;
            case 1:
                model.setAttrDataDouble(key, in.f64());
                break;
            case 2:
                model.setAttrDataInt64(key, static_cast<std::int64_t>(in.u64()));
                break;
            case 3:
                model.setAttrDataUInt64(key, in.u64());
                break;
            case 4:
                model.setAttrDataBool(key, (in.byte() & 1) != 0);
                break;
            default:
                // Straight into the public map, past the setters' checks.
                if (!model.attrData) {
                    model.attrData.emplace();
                }
                model.attrData->insert_or_assign(key, makeValue(in, 0));
                break;
        }
    }
    return model;
}

std::uint64_t inputs = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fz::setUpProcess();
    // Time stands still unless an input moves it: no timer fires on its own.
    platform::host::setClock(std::make_shared<platform::ManualClock>(
        platform::WallTime(std::chrono::milliseconds(1764547200000))));
    // No network: every host goes to a loopback port nothing listens on, and
    // the device reports none, so events wait in the stored list.
    SorvelHost::setServerBaseUrl("http://127.0.0.1:1");
    SorvelHost::setNetworkAvailable(false);
    SorvelKV::getInstance().initSorvel("FuzzAppKey012345678901", "FuzzSecret012345678901");
    SorvelHost::applicationDidBecomeActive();
    (void)DiContainer::shared().waitForDurableWrites();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fz::Input in(data, size);
    auto& kv = SorvelKV::getInstance();
    const std::uint8_t call = in.byte();
    const std::string name = in.text(80);
    const SorvelKvAttrModel model = makeModel(in);
    switch (call % 8) {
        case 0:
            kv.setUserPropertiesWithAttr(model);
            break;
        case 1:
            kv.setUserCiWithAttr(model);
            break;
        default:
            kv.eventWithAttr(name, model);
            break;
    }
    // A fault on the SDK's threads must show up with the input that caused it.
    auto& container = DiContainer::shared();
    (void)container.drain();
    // Offline, the queue only grows: drop it now and then so that a long run
    // keeps its memory flat.
    if (++inputs % 512 == 0) {
        container.eventBuffer()->discardUnsentEvents();
        (void)container.drain();
    }
    return 0;
}
