#include "mqtt_metrics.h"

#include <stdlib.h>

#include "cmdline.h"
#include "hub/metrics.h"
#include "hub/mqtt.h"

void start_mqtt_and_metrics()
{
    MqttConfig c{};
    c.broker = args_info.mqtt_arg;
    c.prefix = args_info.mqtt_prefix_arg;
    c.id = args_info.mqtt_id_arg;
    c.user = args_info.mqtt_user_arg;
    c.password_file = args_info.mqtt_password_file_arg;
    c.cafile = args_info.mqtt_cafile_arg;
    c.qos = args_info.mqtt_qos_arg;
    if (mqtt_start(&c) < 0 || metrics_start(args_info.metrics_arg) < 0)
        exit(-1);
}
