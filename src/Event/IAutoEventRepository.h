#pragma once

namespace sorvel {

// What the automatic events ask of the data layer above them: a fresh remote
// configuration on a new day, and the in-app campaigns at a session start or
// once their stored list has expired. The container hands its repository in.
class IAutoEventRepository {
  public:
    virtual ~IAutoEventRepository() = default;

    virtual void syncApplicationConfigure() = 0;
    virtual void resetInAppMessageSessionFrequency() = 0;
    virtual void fetchInAppMessages() = 0;
};

}  // namespace sorvel
