// save_mqtt_server on any text: the first byte is the response's result.
#include <cstdint>
#include <string>

#include "dispatch.h"
#include "fuzz_env.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_agent_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    g_mqtt_server = {};
    int rc = save_mqtt_server(text.c_str(), data[0] % 3 == 0 ? 0 : data[0] * 37);

    fuzz_check_field(g_mqtt_server.uuid);
    fuzz_check_field(g_mqtt_server.BrokerAddress);
    fuzz_check_field(g_mqtt_server.Topic);
    fuzz_check_field(g_mqtt_server.Username);
    fuzz_check_field(g_mqtt_server.Password);
    if (rc == 0 && !g_mqtt_server.BrokerAddress[0])
        __builtin_trap();
    return 0;
}
