#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Common/DataContext.h"
#include "Common/DataRegistry.h"
#include "Common/DataRegistryKey.h"
#include "Network/ApiModel.h"
#include "Platform/Host.h"
#include "Platform/Http.h"
#include "ServerDouble.h"
#include "support/TestSupport.h"

namespace sorvel::nettest {

inline constexpr const char* kSecretKey = "SECRETKEY0123456789abc";
inline constexpr const char* kAppKey = "APPKEY0123456789abcdef";

// A request body with the request time the signature is made with.
inline Value::Map timedBody() {
    return {{"common", Value(Value::Map{{"request_datetime", Value("2024-01-01T00:00:00.000Z")}})}};
}

// What the server double answers.
inline tools::ScriptedAnswer answer(int status, std::string body = "{}") {
    tools::ScriptedAnswer a;
    a.status = status;
    a.body = std::move(body);
    return a;
}

// A request of a fixed body to a fixed URL.
struct FixedModel : IApiModel {
    std::string url;
    Value::Map body;
    explicit FixedModel(std::string u, Value::Map b = timedBody())
        : url(std::move(u)), body(std::move(b)) {}
    std::string getUrl() const override { return url; }
    Value::Map toDictionary() const override { return body; }
};

// A fresh app with a manual clock, a registry holding both keys, and every
// host of the maker pointed at a server double of its own.
class NetworkFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.start());
        platform::host::mapHttpHost("*", server.baseUrl());
        registry = std::make_shared<DataRegistry>(std::make_shared<DefaultDataContext>());
        registry->putString(std::string(kSecretKey), DataRegistryKey::STRING_SECRETKEY);
        registry->putString(std::string(kAppKey), DataRegistryKey::STRING_APPKEY);
    }

    testing::FreshSdk sdk{true};
    tools::ServerDouble server{tools::ServerDouble::Options{"127.0.0.1", 0, kSecretKey}};
    std::shared_ptr<DataRegistry> registry;
};

}  // namespace sorvel::nettest
