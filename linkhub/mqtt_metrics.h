// The MQTT bridge and the metrics endpoint, configured from linkhub's options.
#pragma once

// Starts both as the options ask (each may be off); a wrong value of their
// options ends the process with status 255 after an ERR line, as the other
// option checks do.  Call after hub_start, before the loop runs.
void start_mqtt_and_metrics();
