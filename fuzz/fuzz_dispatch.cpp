// ovimar_parse_response_msg with its helpers: the first byte picks the
// outstanding request, the second whether the message answers it.
#include <cstdint>
#include <cstring>
#include <string>

#include "dispatch.h"
#include "fuzz_env.h"
#include "request.h"
#include "state.h"

namespace {
constexpr const char *METHODS[] = {"devAuth", "devGetMqttServer", "devInfoSync", "bind",
                                   "other", nullptr};
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_agent_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const char *method = METHODS[data[0] % (sizeof(METHODS) / sizeof(METHODS[0]))];
    bool answers = data[1] & 1;
    std::string text(reinterpret_cast<const char *>(data + 2), size - 2);

    char m[LAST_METHOD_LEN] = {};
    int result = -1, id = -1;
    parse_msg_header(text.c_str(), m, &result, &id);
    fuzz_check_field(m);
    set_last_request(answers ? static_cast<uint32_t>(id) : 1u, method);
    agent_state_set(OVIMAR_HTTPS_AUTH);
    g_mqtt_server = {};

    ovimar_parse_response_msg(text.c_str());

    fuzz_check_field(g_last_request.last_method);
    fuzz_check_field(g_mqtt_server.cookie);
    fuzz_check_field(g_mqtt_server.uuid);
    fuzz_check_field(g_mqtt_server.BrokerAddress);
    fuzz_check_field(g_mqtt_server.Topic);
    fuzz_check_field(g_mqtt_server.Username);
    fuzz_check_field(g_mqtt_server.Password);
    // Only an accepted broker record moves the machine to connecting.
    if (agent_state_get() == OVIMAR_MQTT_CONNECT && !g_mqtt_server.BrokerAddress[0])
        __builtin_trap();
    return 0;
}
