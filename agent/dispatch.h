// Every platform message passes through here.
#pragma once

void ovimar_parse_response_msg(const char *userdata);
