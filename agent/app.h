// Messages between the local services and the platform.
#pragma once

void local_msg_handler(const char *text);
void app_msg_handler(const char *text);

int send_bind_request();
int bind_response_handler(const char *userdata);
int unbind_request_handler(const char *userdata);
int send_unbind_reply(const char *result, const char *cwmp_version, const char *id);
