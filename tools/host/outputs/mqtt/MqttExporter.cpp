// The MQTT exporter: the loop thread's formatter and the broker thread's
// client, with the queue between them.
#include "tools/host/outputs/mqtt/MqttExporter.h"

#include "tools/host/outputs/mqtt/MqttClient.h"
#include "tools/host/outputs/mqtt/MqttFormatter.h"
#include "tools/host/outputs/mqtt/MqttQueue.h"

namespace runner {

static_assert(MqttExporter::kEdgeLimit == MqttQueue::kEdgeLimit);

MqttExporter::MqttExporter(MqttSettings settings)
    : queue_(std::make_shared<MqttQueue>()), formatter_(std::make_unique<MqttFormatter>(settings, *queue_)),
      client_(std::make_unique<MqttClient>(std::move(settings), queue_)) {}

MqttExporter::~MqttExporter() = default;

void MqttExporter::Observe(const Stamped& o) {
  if (client_) formatter_->Observe(o);
}

void MqttExporter::Finish() {
  if (!client_) return;
  formatter_->Ended(WallMillis());
  if (client_->Finish()) {
    client_.reset();
  } else {
    (void)client_.release();  // still in use by its thread until the process ends
  }
}

}  // namespace runner
