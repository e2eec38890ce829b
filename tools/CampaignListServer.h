#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "ServerDouble.h"

namespace sorvel::tools {

// Plays the in-app campaign server on a server double: answers the
// campaign-list endpoint from the list the host gives, by the checksum the
// device sends, and serves image files over loopback.
//
// A request carrying the current checksum is answered "unchanged"; an empty
// list is answered with the checksum "__no_active_campaign__"; any other
// request gets the whole list. Requests scripted on the double go first.
class CampaignListServer {
  public:
    // Where the images are served.
    static constexpr const char* IMAGE_PATH = "/iam-images/";

    // Installs itself on the double, which may outlive it (but not the
    // other way round).
    explicit CampaignListServer(ServerDouble& server);
    ~CampaignListServer();
    CampaignListServer(const CampaignListServer&) = delete;
    CampaignListServer& operator=(const CampaignListServer&) = delete;

    // The campaigns (the JSON text of an array of campaign objects, put into
    // the answer as it is) under a checksum, valid for the minutes given.
    void setCampaigns(std::string campaignsJson, std::string checksum, int minutesToExpiry = 60);
    // Serves bytes at <base URL>/iam-images/<name>, optionally after a delay.
    void addImage(const std::string& name, std::string bytes, std::string contentType = "image/png",
                  std::chrono::milliseconds delay = std::chrono::milliseconds(0));
    std::string imageUrl(const std::string& name) const;

    // Campaign-list answers given, by kind.
    std::size_t fullAnswers() const;
    std::size_t unchangedAnswers() const;
    std::size_t noCampaignAnswers() const;
    // GET requests of one image.
    std::size_t imageRequests(const std::string& name) const;

  private:
    struct State;
    std::shared_ptr<State> state_;
    ServerDouble& server_;
};

}  // namespace sorvel::tools
