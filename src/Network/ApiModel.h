#pragma once

#include <memory>
#include <optional>
#include <string>

#include "sorvel/Value.h"

namespace sorvel {

// A model with a JSON dictionary form.
class IDataModel {
  public:
    virtual ~IDataModel() = default;
    virtual Value::Map toDictionary() const = 0;
};

// A request body ready to be signed: the compact JSON text of a model's
// dictionary and the request time its signature vouches for.
struct ApiBody {
    std::string json;
    // A body with a "common" block is signed with that block's
    // "request_datetime" (and cannot be signed when it is not a string); one
    // without is signed with the time of its first sending.
    bool hasCommon = false;
    std::optional<std::string> requestDatetime;
};

// A whole request body with the full URL text it goes to.
class IApiModel : public IDataModel {
  public:
    virtual std::string getUrl() const = 0;
    // Built from toDictionary(). A model that keeps parts of its body as JSON
    // text already puts the text together instead.
    virtual ApiBody toApiBody() const;
};

// Builds one request model.
class IApiModelProvider {
  public:
    virtual ~IApiModelProvider() = default;
    virtual std::shared_ptr<IApiModel> getApiModel() = 0;
};

// Builds one data model of type Model from stored data.
template <typename Model>
class IDataModelProvider {
  public:
    virtual ~IDataModelProvider() = default;
    virtual Model getDataModel() = 0;
};

}  // namespace sorvel
