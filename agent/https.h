// Response text collected for a requester, who frees resp_text.
#pragma once

#include <cstddef>

struct resp_buf {
    char *resp_text;
    size_t resp_len;
};
