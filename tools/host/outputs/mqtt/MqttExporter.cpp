// The MQTT exporter: the loop thread's formatters (one per system) and the
// broker thread's client, with the queue between them.
#include "tools/host/outputs/mqtt/MqttExporter.h"

#include "tools/host/outputs/mqtt/MqttClient.h"
#include "tools/host/outputs/mqtt/MqttFormatter.h"
#include "tools/host/outputs/mqtt/MqttQueue.h"

namespace runner {

static_assert(MqttExporter::kEdgeLimit == MqttQueue::kEdgeLimit);

MqttExporter::MqttExporter(MqttSettings settings)
    : settings_(settings),
      queue_(std::make_shared<MqttQueue>()),
      client_(std::make_unique<MqttClient>(std::move(settings), queue_)) {}

MqttExporter::~MqttExporter() = default;

void MqttExporter::Observe(const Stamped& o) {
  if (!client_) return;
  if (o.system) {
    auto& f = systems_[o.system->index];
    if (!f) f = std::make_unique<MqttFormatter>(settings_, *queue_, o.system);
    f->Observe(o);
  } else if (!systems_.empty()) {  // the line's, in a run with several systems: each keeps its time
    for (auto& [index, f] : systems_) f->Observe(o);
  } else {
    // A notice may be the line's before any system spoke: it does not decide
    // that the run has one system.
    if (!only_ && !std::holds_alternative<Notice>(o.what) && !std::holds_alternative<FrameSeen>(o.what))
      only_ = std::make_unique<MqttFormatter>(settings_, *queue_);
    if (only_) only_->Observe(o);
  }
}

void MqttExporter::Finish() {
  if (!client_) return;
  if (!only_ && systems_.empty()) only_ = std::make_unique<MqttFormatter>(settings_, *queue_);
  const Millis now = WallMillis();
  if (only_) only_->Ended(now);
  for (auto& [index, f] : systems_) f->Ended(now);
  if (client_->Finish()) {
    client_.reset();
  } else {
    (void)client_.release();  // still in use by its thread until the process ends
  }
}

}  // namespace runner
