// The two platform requests made over HTTPS, and what every request the
// agent originates shares: numbering, the one outstanding request, and the
// JSON field helpers.
#pragma once

#include <cstdint>

constexpr int LAST_METHOD_LEN = 64;

struct last_request {
    char last_method[LAST_METHOD_LEN];
    uint32_t last_id;
};

extern uint32_t msg_seq;
extern struct last_request g_last_request;

// Takes the next number: msg_seq + 1, stored back.
uint32_t msg_seq_next();
void set_last_request(uint32_t id, const char *method);

// Copies the text form of a top-level value into dst (size bytes, always
// terminated); returns dst, or nullptr when the text is no JSON or the key
// is missing or null.
char *json_get_key(const char *text, const char *key, char *dst, int size);
// The same for a key the message may lack: its absence is logged nowhere.
char *json_opt_key(const char *text, const char *key, char *dst, int size);
// method: 64-byte buffer; result and id as the caller preset them when absent.
int parse_msg_header(const char *text, char *method, int *result, int *id);

// Decimal text as atoi reads it, clamped to int instead of overflowing.
int text_to_int(const char *s);

int https_dev_auth();
int https_get_mqtt_server();
