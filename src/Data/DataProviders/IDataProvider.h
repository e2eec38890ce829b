#pragma once

namespace sorvel {

// A provider that refreshes stored device data.
class IDataProvider {
  public:
    virtual ~IDataProvider() = default;
    virtual void refreshData() = 0;
};

}  // namespace sorvel
