// The model file's layout, {"model_replies": [{"addr": "01", "seen": MS,
// "frame": "~..."}]}, read strictly: a file with one bad entry gives nothing.
#include "tools/host/loop/ModelFile.h"

#include <fmt/format.h>

#include "host/PMBusProtocol.h"
#include "tools/common/InputFile.h"
#include "tools/host/loop/PluginLoader.h"
#include "tools/host/stream/RunError.h"

namespace runner {
namespace {

constexpr const char* kKind = "model file";
constexpr std::size_t kBound = 64 * 1024;  // 256 addresses of the longest model reply fit well within

bool ParseAddress(const Json::Value& v, unsigned char& adr) {
  if (!v.isString() || v.asString().size() != 2) return false;
  const std::string text = v.asString();
  if (text.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos) return false;
  adr = static_cast<unsigned char>(std::stoul(text, nullptr, 16));
  return true;
}

}  // namespace

bool IsModelReply(const std::string& frame, unsigned char adr) {
  yd1363::Decoded d;
  return frame.size() > 1 && frame[0] == '~' && yd1363::Decode(frame.data() + 1, frame.size() - 1, d).empty() &&
         d.adr == adr && d.cid1 == 0x40 && d.cid2 == 0x00;
}

std::string ModelFile::Load() {
  replies_.clear();
  std::map<unsigned char, ModelReply> read;
  try {
    const Json::Value root = ParseJson(inputs::ReadInputFile(path_, kKind, kBound), path_, kKind);
    const Json::Value& list = root.isObject() ? root["model_replies"] : Json::Value::nullSingleton();
    if (!list.isArray()) return fmt::format("the {} {} holds no \"model_replies\" list", kKind, path_);
    for (Json::ArrayIndex k = 0; k < list.size(); ++k) {
      const Json::Value& e = list[k];
      unsigned char adr = 0;
      const bool fits = e.isObject() && ParseAddress(e["addr"], adr) && e["seen"].isInt64() &&
                        e["seen"].asInt64() > 0 && e["frame"].isString() && IsModelReply(e["frame"].asString(), adr);
      if (!fits)
        return fmt::format("the {} {}: entry {} is not an intact model reply with its \"addr\" and \"seen\"", kKind,
                           path_, k + 1);
      read[adr] = ModelReply{e["frame"].asString(), e["seen"].asInt64()};
    }
  } catch (const inputs::InputError& e) {
    return e.missing() ? std::string() : e.what();
  } catch (const RunError& e) {
    return e.what();
  }
  replies_ = std::move(read);
  return {};
}

const ModelReply* ModelFile::For(unsigned char adr) const {
  const auto it = replies_.find(adr);
  return it == replies_.end() ? nullptr : &it->second;
}

std::string ModelFile::Remember(unsigned char adr, ModelReply reply) {
  replies_[adr] = std::move(reply);
  Json::Value list(Json::arrayValue);
  for (const auto& [a, r] : replies_) {
    Json::Value e;
    e["addr"] = fmt::format("{:02X}", a);
    e["seen"] = static_cast<Json::Int64>(r.seen);
    e["frame"] = r.frame;
    list.append(e);
  }
  Json::Value root;
  root["model_replies"] = list;
  Json::StreamWriterBuilder b;
  b["indentation"] = "  ";
  return Json::writeString(b, root) + "\n";
}

}  // namespace runner
