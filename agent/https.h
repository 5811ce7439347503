// One JSON POST to the platform; the response text collected for the
// requester, who frees resp_text.
#pragma once

#include <cstddef>
#include <cstdint>

struct resp_buf {
    char *resp_text;
    size_t resp_len;
};

// Longest body: the 2048-byte buffer keeps its terminator.
constexpr size_t HTTPS_POST_BUF_LEN = 2048;
// A response past this ends the transfer: a hostile server cannot exhaust
// the router's memory.
constexpr size_t HTTPS_RESP_MAX = 1024 * 1024;

int curl_process_https_post(const char *url, const char *body, uint32_t len,
                            struct resp_buf *resp);
// libcurl write callback; userdata is the resp_buf.
size_t https_resp_write(char *ptr, size_t size, size_t nmemb, void *userdata);
