#pragma once

#include <memory>
#include <string>

#include "sorvel/Value.h"

namespace sorvel {

// A model with a JSON dictionary form.
class IDataModel {
  public:
    virtual ~IDataModel() = default;
    virtual Value::Map toDictionary() const = 0;
};

// A whole request body with the full URL text it goes to.
class IApiModel : public IDataModel {
  public:
    virtual std::string getUrl() const = 0;
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
