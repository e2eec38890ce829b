#include "CampaignListServer.h"

#include <map>
#include <mutex>

#include <nlohmann/json.hpp>

namespace sorvel::tools {

struct CampaignListServer::State {
    mutable std::mutex mu;
    std::string campaignsJson = "[]";
    std::string checksum;
    int minutesToExpiry = 60;
    std::size_t full = 0;
    std::size_t unchanged = 0;
    std::size_t noCampaign = 0;
    std::map<std::string, ScriptedAnswer> images;
    std::map<std::string, std::size_t> imageRequests;

    ScriptedAnswer answer(const RecordedRequest& request) {
        std::string sent;
        auto body = nlohmann::json::parse(request.decodedBody, nullptr, false);
        if (body.is_object() && body.contains("in_app_message") &&
            body["in_app_message"].is_object() && body["in_app_message"].contains("checksum") &&
            body["in_app_message"]["checksum"].is_string()) {
            sent = body["in_app_message"]["checksum"].get<std::string>();
        }
        std::lock_guard<std::mutex> lock(mu);
        nlohmann::json data = {{"minutes_to_expiry", minutesToExpiry}};
        ScriptedAnswer out;
        if (campaignsJson == "[]" || campaignsJson.empty()) {
            ++noCampaign;
            data["status"] = "ok";
            data["checksum"] = "__no_active_campaign__";
            out.body = nlohmann::json{{"data", data}}.dump();
            return out;
        }
        data["checksum"] = checksum;
        if (!sent.empty() && sent == checksum) {
            ++unchanged;
            data["status"] = "unchanged";
            out.body = nlohmann::json{{"data", data}}.dump();
            return out;
        }
        ++full;
        data["status"] = "changed";
        // The list goes in as given: a host may send malformed campaigns.
        std::string text = nlohmann::json{{"data", data}}.dump();
        text.insert(text.size() - 2, ",\"in_app_messages\":" + campaignsJson);
        out.body = std::move(text);
        return out;
    }

    std::optional<ScriptedAnswer> image(const std::string& path) {
        const std::string name = path.substr(std::string(IMAGE_PATH).size());
        std::lock_guard<std::mutex> lock(mu);
        ++imageRequests[name];
        auto it = images.find(name);
        if (it == images.end()) {
            return std::nullopt;
        }
        return it->second;
    }
};

CampaignListServer::CampaignListServer(ServerDouble& server)
    : state_(std::make_shared<State>()), server_(server) {
    server.setResponder(Endpoint::IAM_CAMPAIGNS,
                        [state = state_](const RecordedRequest& r) { return state->answer(r); });
    server.serveFiles(IMAGE_PATH,
                      [state = state_](const std::string& path) { return state->image(path); });
}

CampaignListServer::~CampaignListServer() = default;

void CampaignListServer::setCampaigns(std::string campaignsJson, std::string checksum,
                                      int minutesToExpiry) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->campaignsJson = std::move(campaignsJson);
    state_->checksum = std::move(checksum);
    state_->minutesToExpiry = minutesToExpiry;
}

void CampaignListServer::addImage(const std::string& name, std::string bytes,
                                  std::string contentType, std::chrono::milliseconds delay) {
    ScriptedAnswer answer;
    answer.body = std::move(bytes);
    answer.contentType = std::move(contentType);
    answer.delay = delay;
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->images[name] = std::move(answer);
}

std::string CampaignListServer::imageUrl(const std::string& name) const {
    return server_.baseUrl() + IMAGE_PATH + name;
}

std::size_t CampaignListServer::fullAnswers() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->full;
}

std::size_t CampaignListServer::unchangedAnswers() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->unchanged;
}

std::size_t CampaignListServer::noCampaignAnswers() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->noCampaign;
}

std::size_t CampaignListServer::imageRequests(const std::string& name) const {
    std::lock_guard<std::mutex> lock(state_->mu);
    auto it = state_->imageRequests.find(name);
    return it == state_->imageRequests.end() ? 0 : it->second;
}

}  // namespace sorvel::tools
