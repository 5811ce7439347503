#include "https.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include <curl/curl.h>

#include "config.h"
#include "log.h"

namespace {

// libcurl's global state lives exactly as long as one request.
struct curl_global {
    bool ok = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK;
    ~curl_global()
    {
        if (ok)
            curl_global_cleanup();
    }
};

struct easy_free {
    void operator()(CURL *c) const { curl_easy_cleanup(c); }
};
struct slist_free {
    void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};
using easy_ptr = std::unique_ptr<CURL, easy_free>;
using slist_ptr = std::unique_ptr<curl_slist, slist_free>;

// Certificate checks stay off unless the configuration asks for them:
// deployed platforms may depend on that.
void set_tls(CURL *c)
{
    long verify = g_config_https.verify ? 1L : 0L;
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, verify);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
    if (verify && g_config_https.ca_file[0])
        curl_easy_setopt(c, CURLOPT_CAINFO, g_config_https.ca_file);
}

// A server that accepts and then sends nothing must not hold the agent's
// only thread for good: less than a byte a second for this long ends it.
// libcurl does not apply that to the handshake, so without a connect limit
// of its own the connect phase gets the same bound.
void set_limits(CURL *c)
{
    long stall = g_config_https.stall_timeout > 0 ? g_config_https.stall_timeout
                                                  : HTTPS_STALL_TIMEOUT_DEFAULT;
    long connect = g_config_https.connect_timeout > 0 ? g_config_https.connect_timeout : stall;
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, connect);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, stall);
}

} // namespace

size_t https_resp_write(char *ptr, size_t size, size_t nmemb, void *userdata)
{
    auto *resp = static_cast<resp_buf *>(userdata);
    if (nmemb && size > HTTPS_RESP_MAX / nmemb)
        return 0;
    size_t n = size * nmemb;
    if (n > HTTPS_RESP_MAX - resp->resp_len) {
        ovimar_log(OVIMAR_LOG_ERR, "https response over %zu bytes, dropped\n", HTTPS_RESP_MAX);
        return 0;
    }
    auto *grown = static_cast<char *>(realloc(resp->resp_text, resp->resp_len + n + 1));
    if (!grown)
        return 0;
    memcpy(grown + resp->resp_len, ptr, n);
    resp->resp_text = grown;
    resp->resp_len += n;
    grown[resp->resp_len] = '\0';
    ovimar_log(OVIMAR_LOG_DEBUG, "https response: size:%d data:%s\n", static_cast<int>(n),
               grown);
    return n;
}

int curl_process_https_post(const char *url, const char *body, uint32_t len,
                            struct resp_buf *resp)
{
    char post[HTTPS_POST_BUF_LEN];
    memset(post, 0, sizeof(post));
    if (!url || !body || !resp) {
        ovimar_log(OVIMAR_LOG_ERR, "ERROR: [%s: %d] invalid null pointer!\n", __func__,
                   __LINE__);
        return -1;
    }
    if (len > HTTPS_POST_BUF_LEN - 1) {
        ovimar_log(OVIMAR_LOG_ERR, "ERROR: [%s: %d] post len too long!\n", __func__, __LINE__);
        return -1;
    }
    memcpy(post, body, len);
    ovimar_log(OVIMAR_LOG_DEBUG, "DEBUG: URL:%s\n", url);
    ovimar_log(OVIMAR_LOG_DEBUG, "DEBUG: POST:%s\n", post);
    ovimar_log(OVIMAR_LOG_DEBUG, "DEBUG: POST_LEN = %d\n", static_cast<int>(len));

    curl_global global;
    easy_ptr c(curl_easy_init());
    if (!c) {
        ovimar_log(OVIMAR_LOG_ERR, "ERROR: [%s: %d] curl easy init failed!\n", __func__,
                   __LINE__);
        return -1;
    }
    slist_ptr headers(curl_slist_append(nullptr, "Content-Type: application/json"));
    if (!headers) {
        ovimar_log(OVIMAR_LOG_ERR, "ERROR: [%s: %d] curl slist append failed!\n", __func__,
                   __LINE__);
        return -1;
    }

    CURL *h = c.get();
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_URL, url);
    curl_easy_setopt(h, CURLOPT_DEFAULT_PROTOCOL, "https");
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, post);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(-1));
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "POST");
    curl_easy_setopt(h, CURLOPT_PORT, static_cast<long>(g_config_https.port));
    set_limits(h);
    set_tls(h);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, https_resp_write);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, resp);
    char why[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, why);

    CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_OK) {
        // What the operator needs: "URL rejected", "Could not connect", ...
        ovimar_log(OVIMAR_LOG_ERR, "https request failed: curl error %d: %s\n",
                   static_cast<int>(rc), why[0] ? why : curl_easy_strerror(rc));
        ovimar_log(OVIMAR_LOG_DEBUG, "ERROR: [%s: %d] curl error code %d\n", __func__,
                   __LINE__, static_cast<int>(rc));
        return -1;
    }
    return 0;
}
