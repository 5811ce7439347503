// The two platform requests made over HTTPS.
#pragma once

int https_dev_auth();
int https_get_mqtt_server();
