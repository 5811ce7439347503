// The platform's MQTT side on its own, until it joins the HTTPS platform.
//
//   platform_mqtt -p PORT -C CAFILE -u USER -P PASS -U UUID -t TOPIC
//                 -d DEVID -s SECRET -f COMMANDS
//
// COMMANDS is a FIFO; each line "send JSON" publishes JSON to the device,
// "quit" ends the program. Everything seen and sent goes to standard output.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mqtt_side.h"

int main(int argc, char **argv)
{
    platform_mqtt_config cfg;
    const char *fifo = nullptr;
    for (int c; (c = getopt(argc, argv, "h:p:C:u:P:U:t:d:s:f:")) != -1;) {
        switch (c) {
        case 'h': cfg.host = optarg; break;
        case 'p': cfg.port = atoi(optarg); break;
        case 'C': cfg.cafile = optarg; break;
        case 'u': cfg.username = optarg; break;
        case 'P': cfg.password = optarg; break;
        case 'U': cfg.uuid = optarg; break;
        case 't': cfg.topic = optarg; break;
        case 'd': cfg.dev_id = optarg; break;
        case 's': cfg.secret = optarg; break;
        case 'f': fifo = optarg; break;
        default: return 2;
        }
    }
    if (!fifo || cfg.uuid.empty() || cfg.topic.empty()) {
        fprintf(stderr, "platform_mqtt: -U UUID, -t TOPIC and -f FIFO are needed\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    mkfifo(fifo, 0600);
    // Read-write: a writer that goes away is no end of input.
    FILE *in = fopen(fifo, "r+");
    if (!in || platform_mqtt_start(cfg) != 0) {
        fprintf(stderr, "platform_mqtt: cannot start\n");
        return 1;
    }
    std::string line;
    for (int ch; (ch = fgetc(in)) != EOF;) {
        if (ch != '\n') {
            line.push_back(static_cast<char>(ch));
            continue;
        }
        if (line == "quit")
            break;
        if (line.rfind("send ", 0) == 0)
            platform_mqtt_send(line.substr(5));
        line.clear();
    }
    platform_mqtt_stop();
    fclose(in);
    return 0;
}
