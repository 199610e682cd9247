#include "http/dns_sd.hpp"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>
#include <unistd.h>

#include <fstream>
#include <utility>

#include "http/server_log.hpp"

namespace skylark {
namespace {

constexpr unsigned kRetrySeconds = 5;

std::string unquote(std::string value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return value;
}

}  // namespace

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

std::string computerName() {
    std::ifstream info("/etc/machine-info");
    for (std::string line; std::getline(info, line);) {
        constexpr std::string_view key = "PRETTY_HOSTNAME=";
        if (line.starts_with(key)) {
            std::string pretty = unquote(line.substr(key.size()));
            if (!pretty.empty()) {
                return pretty;
            }
        }
    }
    const std::string name = hostName();
    return name.empty() ? "Linux" : name;
}

// All Avahi objects are touched only on the threaded poll's own thread, or before it starts
// and after it stops.
struct DnsSdAdvertiser::Impl {
    std::string name;
    std::string type;
    std::uint16_t port;
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;
    AvahiTimeout* retry = nullptr;
    bool loggedUnavailable = false;

    void connect() {
        int error = 0;
        client = avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL,
                                  &Impl::onClientState, this, &error);
        if (client == nullptr) {
            unavailable(avahi_strerror(error));
            scheduleRetry();
        }
    }

    void scheduleRetry() {
        const AvahiPoll* api = avahi_threaded_poll_get(poll);
        timeval when{};
        avahi_elapse_time(&when, kRetrySeconds * 1000, 0);
        if (retry == nullptr) {
            retry = api->timeout_new(api, &when, &Impl::onRetry, this);
        } else {
            api->timeout_update(retry, &when);
        }
    }

    void unavailable(const char* why) {
        if (!std::exchange(loggedUnavailable, true)) {
            logServerMessage(std::string("Skylark: not advertised on the network yet (") + why +
                             "); the TV can still use the address shown");
        }
    }

    void publish() {
        if (group == nullptr) {
            group = avahi_entry_group_new(client, &Impl::onGroupState, this);
            if (group == nullptr) {
                unavailable(avahi_strerror(avahi_client_errno(client)));
                return;
            }
        }
        if (!avahi_entry_group_is_empty(group)) {
            return;
        }
        const int error = avahi_entry_group_add_service(
            group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), name.c_str(),
            type.c_str(), nullptr, nullptr, port, nullptr);
        if (error == AVAHI_ERR_COLLISION) {
            renameAndPublish();
            return;
        }
        if (error < 0 || avahi_entry_group_commit(group) < 0) {
            unavailable(avahi_strerror(error < 0 ? error : avahi_client_errno(client)));
        }
    }

    void renameAndPublish() {
        char* alternative = avahi_alternative_service_name(name.c_str());
        name = alternative;
        avahi_free(alternative);
        avahi_entry_group_reset(group);
        publish();
    }

    static void onClientState(AvahiClient* client, AvahiClientState state, void* data) {
        auto* self = static_cast<Impl*>(data);
        self->client = client;  // also called from inside avahi_client_new
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
                self->loggedUnavailable = false;
                self->publish();
                break;
            case AVAHI_CLIENT_S_COLLISION:
            case AVAHI_CLIENT_S_REGISTERING:
                if (self->group != nullptr) {
                    avahi_entry_group_reset(self->group);
                }
                break;
            case AVAHI_CLIENT_CONNECTING:
                self->unavailable("the Avahi daemon is not running");
                break;
            case AVAHI_CLIENT_FAILURE:
                self->unavailable(avahi_strerror(avahi_client_errno(client)));
                // Start over with a new client a little later; the group belongs to this one.
                self->group = nullptr;
                avahi_client_free(client);
                self->client = nullptr;
                self->scheduleRetry();
                break;
        }
    }

    static void onGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state, void* data) {
        auto* self = static_cast<Impl*>(data);
        self->group = group;
        if (state == AVAHI_ENTRY_GROUP_COLLISION) {
            self->renameAndPublish();
        } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
            self->unavailable(avahi_strerror(avahi_client_errno(self->client)));
        }
    }

    static void onRetry(AvahiTimeout*, void* data) {
        auto* self = static_cast<Impl*>(data);
        const AvahiPoll* api = avahi_threaded_poll_get(self->poll);
        api->timeout_update(self->retry, nullptr);  // disarm until needed again
        if (self->client == nullptr) {
            self->connect();
        }
    }
};

DnsSdAdvertiser::DnsSdAdvertiser(std::string name, std::string type, std::uint16_t port)
    : impl_(std::make_unique<Impl>()) {
    impl_->name = std::move(name);
    impl_->type = std::move(type);
    impl_->port = port;
    impl_->poll = avahi_threaded_poll_new();
    if (impl_->poll == nullptr) {
        logServerMessage("Skylark: could not start DNS-SD advertising");
        return;
    }
    impl_->connect();
    avahi_threaded_poll_start(impl_->poll);
}

DnsSdAdvertiser::~DnsSdAdvertiser() {
    if (impl_->poll == nullptr) {
        return;
    }
    avahi_threaded_poll_stop(impl_->poll);
    if (impl_->client != nullptr) {
        avahi_client_free(impl_->client);  // frees its groups too
    }
    avahi_threaded_poll_free(impl_->poll);  // frees the retry timeout
}

}  // namespace skylark
