// Uses the public headers and the shared library the way an app would, and
// fails (exit code 1) when something it reads is not what the SDK promises.
#include <sorvel/SorvelKVVersion.h>
#include <sorvel/SorvelKvAttrModel.h>
#include <sorvel/Value.h>

#include <cstdio>
#include <string>

int main() {
    const std::string version(reinterpret_cast<const char*>(SorvelKVVersionString));
    bool ok = !version.empty() && SorvelKVVersionNumber > 0;

    sorvel::SorvelKvAttrModel attrs;
    attrs.setAttrDataString("plan", "gold");
    attrs.setAttrDataInt64("Bad Key!", 1);  // refused by the key rules
    const sorvel::Value value(sorvel::Value::Map{
        {"attrs", sorvel::Value(attrs.getAttrData())}, {"count", sorvel::Value(3)}});
    const std::string json = value.toJson();
    ok = ok && json == R"({"attrs":{"plan":"gold"},"count":3})";

    std::printf("SDK %s: %s\n", version.c_str(), json.c_str());
    return ok ? 0 : 1;
}
