// Messages between the local services and the platform.
#pragma once

void local_msg_handler(const char *text);
void app_msg_handler(const char *text);
