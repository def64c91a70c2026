#include "remote/avahi/AvahiAdvertiser.h"

#include "base/Log.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

namespace tovo {
namespace {

constexpr const char* serviceType = "_tovocontrol._tcp";

class AvahiAdvertiser final : public ServiceAdvertiser {
public:
    AvahiAdvertiser() {
        poll = avahi_threaded_poll_new();
        if (!poll) {
            log("remote: no DNS-SD (avahi: cannot make its event loop); phones find this computer by the pairing code");
            return;
        }
        int error = 0;
        client = avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL, &AvahiAdvertiser::onClient, this,
                                  &error);
        if (!client) {
            log(std::string("remote: no DNS-SD (avahi: ") + avahi_strerror(error) +
                "); phones find this computer by the pairing code");
            return;
        }
        avahi_threaded_poll_start(poll);
    }

    ~AvahiAdvertiser() override {
        if (poll) avahi_threaded_poll_stop(poll);
        if (client) avahi_client_free(client);  // frees the group too
        if (poll) avahi_threaded_poll_free(poll);
        if (name) avahi_free(name);
    }

    void publish(const std::string& serviceName, uint16_t servicePort,
                 const std::map<std::string, std::string>& record) override {
        if (!client) return;
        avahi_threaded_poll_lock(poll);
        if (name) avahi_free(name);
        name = avahi_strdup(serviceName.c_str());
        port = servicePort;
        txt = record;
        wanted = true;
        registerLocked();
        avahi_threaded_poll_unlock(poll);
    }

    void withdraw() override {
        if (!client) return;
        avahi_threaded_poll_lock(poll);
        wanted = false;
        if (group) avahi_entry_group_reset(group);
        avahi_threaded_poll_unlock(poll);
    }

    std::optional<std::string> hostName() override {
        if (!client) return std::nullopt;
        avahi_threaded_poll_lock(poll);
        const char* host =
            avahi_client_get_state(client) == AVAHI_CLIENT_S_RUNNING ? avahi_client_get_host_name(client) : nullptr;
        std::optional<std::string> result = host ? std::optional<std::string>(host) : std::nullopt;
        avahi_threaded_poll_unlock(poll);
        return result;
    }

private:
    // With the poll's lock held (or on its thread).
    void registerLocked() {
        if (!wanted || !name || avahi_client_get_state(client) != AVAHI_CLIENT_S_RUNNING) return;
        if (!group) group = avahi_entry_group_new(client, &AvahiAdvertiser::onGroup, this);
        if (!group) return;
        avahi_entry_group_reset(group);
        AvahiStringList* list = nullptr;
        for (const auto& [key, value] : txt) list = avahi_string_list_add_pair(list, key.c_str(), value.c_str());
        int error =
            avahi_entry_group_add_service_strlst(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), name,
                                                 serviceType, nullptr, nullptr, port, list);
        avahi_string_list_free(list);
        if (error == AVAHI_ERR_COLLISION) {
            rename();
            return;
        }
        if (error < 0 || avahi_entry_group_commit(group) < 0) {
            log(std::string("remote: DNS-SD publication failed (") + avahi_strerror(avahi_client_errno(client)) + ")");
        }
    }

    void rename() {
        char* next = avahi_alternative_service_name(name);
        avahi_free(name);
        name = next;
        registerLocked();
    }

    static void onClient(AvahiClient* c, AvahiClientState state, void* self) {
        auto* me = static_cast<AvahiAdvertiser*>(self);
        if (!me->client) me->client = c;  // called from inside avahi_client_new
        if (state == AVAHI_CLIENT_S_RUNNING) me->registerLocked();
        if ((state == AVAHI_CLIENT_CONNECTING || state == AVAHI_CLIENT_FAILURE) && !me->missingLogged) {
            me->missingLogged = true;
            log("remote: no DNS-SD (the Avahi daemon is not running); phones find this computer by the pairing code");
        }
        if (state == AVAHI_CLIENT_S_COLLISION || state == AVAHI_CLIENT_S_REGISTERING) {
            if (me->group) avahi_entry_group_reset(me->group);
        }
    }

    static void onGroup(AvahiEntryGroup*, AvahiEntryGroupState state, void* self) {
        auto* me = static_cast<AvahiAdvertiser*>(self);
        if (state == AVAHI_ENTRY_GROUP_COLLISION) me->rename();
    }

    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    // Guarded by the threaded poll's lock.
    AvahiEntryGroup* group = nullptr;
    char* name = nullptr;
    uint16_t port = 0;
    std::map<std::string, std::string> txt;
    bool wanted = false;
    bool missingLogged = false;
};

}  // namespace

std::unique_ptr<ServiceAdvertiser> makeAvahiAdvertiser() { return std::make_unique<AvahiAdvertiser>(); }

}  // namespace tovo
