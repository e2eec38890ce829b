// Uses the public headers and the shared library the way an app would, and
// fails (exit code 1) when something it reads is not what the SDK promises.
#include <sorvel/SorvelHost.h>
#include <sorvel/SorvelKV.h>
#include <sorvel/SorvelKVVersion.h>
#include <sorvel/SorvelKvAttrModel.h>
#include <sorvel/Value.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

int main() {
    const std::string version(reinterpret_cast<const char*>(SorvelKVVersionString));
    bool ok = !version.empty() && SorvelKVVersionNumber > 0;

    sorvel::SorvelKvAttrModel attrs;
    attrs.setAttrDataString("plan", "gold");
    attrs.setAttrDataInt64("Bad Key!", 1);  // refused by the key rules
    const sorvel::Value value(sorvel::Value::Map{{"attrs", sorvel::Value(attrs.getAttrData())},
                                                 {"count", sorvel::Value(3)}});
    const std::string json = value.toJson();
    ok = ok && json == R"({"attrs":{"plan":"gold"},"count":3})";

    // The facade's pure calls, on a data folder of its own.
    std::string home = (std::filesystem::temp_directory_path() / "sorvel-consumer-XXXXXX").string();
    if (mkdtemp(home.data()) == nullptr) {
        return 1;
    }
    sorvel::SorvelHost::setDataFolder(home + "/app");
    auto& sdk = sorvel::SorvelKV::getInstance();
    const auto category = sdk.createCommerceProductCategoryData("a", "", "c", "", "");
    ok = ok && sdk.getSignUpChannel(13) == "AppleId" &&
         sdk.convertCountInterval(45) == sorvel::SorvelEventUploadCountInterval::COUNT_30 &&
         category.categoryStringArr && category.categoryStringArr->size() == 2;

    std::printf("SDK %s: %s\n", version.c_str(), json.c_str());
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
    return ok ? 0 : 1;
}
