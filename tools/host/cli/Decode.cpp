// Reading saved images back: a cache file holds each child's last image with
// its device type; an events file holds each round's publications (with their
// record type) and history saves (whose type the data id's publications give).
#include "tools/host/cli/Decode.h"

#include <fmt/format.h>

#include <map>
#include <optional>
#include <vector>

#include "tools/common/InputFile.h"
#include "tools/host/cli/CsvField.h"
#include "tools/host/catalogue/Catalogue.h"
#include "tools/host/loop/PluginLoader.h"
#include "tools/host/outputs/cache/CacheFile.h"
#include "tools/host/stream/EventJson.h"
#include "tools/host/stream/RunError.h"

namespace runner {
namespace {

struct Image {
  std::string source;  // "cache", "publish" or "history"
  std::optional<long long> t;
  unsigned dataId = 0;
  const catalogue::Record* record = nullptr;
  std::vector<unsigned char> bytes;
};

std::string ValueText(const catalogue::Reading& r) {
  if (r.field->encoding == catalogue::Encoding::Byte) return fmt::format("{}", static_cast<unsigned>(r.value));
  return fmt::format("{}", static_cast<float>(r.value));  // the float's shortest form, as received
}

class Printer {
 public:
  Printer(DecodeFormat format, std::FILE* out) : format_(format), out_(out) {
    if (format_ == DecodeFormat::Csv) std::fputs("source,t,data_id,unit,stamp,key,name,value,unit_of_measure\n", out_);
  }
  void Print(const Image& im) {
    const auto readings = catalogue::Decode(*im.record, im.bytes.data(), im.bytes.size());
    const std::string stamp = catalogue::StampText(*im.record, im.bytes.data(), im.bytes.size());
    const std::string t = im.t ? std::to_string(*im.t) : std::string();
    if (format_ == DecodeFormat::Csv) {
      for (const auto& r : readings)
        std::fputs(fmt::format("{},{},{},{},{},{},{},{},{}\n", im.source, t, im.dataId, im.record->unit, stamp, r.key,
                               CsvField(r.name), ValueText(r), CsvField(r.unit))
                       .c_str(),
                   out_);
      return;
    }
    Json::Value values(Json::arrayValue);
    for (const auto& r : readings) {
      Json::Value v(Json::objectValue);
      v["key"] = r.key;
      v["name"] = r.name;
      v["value"] = r.field->encoding == catalogue::Encoding::Byte ? Json::Value(static_cast<unsigned>(r.value))
                                                                   : Number(static_cast<float>(r.value));
      if (!r.unit.empty()) v["unit"] = r.unit;
      values.append(v);
    }
    Fields line{{"source", im.source}};
    if (im.t) line.push_back({"t", static_cast<Json::Int64>(*im.t)});
    line.push_back({"data_id", im.dataId});
    line.push_back({"unit", im.record->unit});
    line.push_back({"record_type", im.record->type});
    line.push_back({"length", static_cast<Json::UInt64>(im.bytes.size())});
    if (!stamp.empty()) line.push_back({"stamp", stamp});
    line.push_back({"values", values});
    std::fputs((EventLine(line) + "\n").c_str(), out_);
  }

 private:
  DecodeFormat format_;
  std::FILE* out_;
};

// The file, opened only once it is known to be a regular file: a FIFO or a
// device is refused, never waited on. An events file may be far larger than
// the other inputs, so it is read line by line, each line bounded.
struct OpenFile {
  explicit OpenFile(const std::string& path) {
    try {
      file = inputs::OpenInputStream(path, "file");
    } catch (const inputs::InputError& e) {
      throw RunError(fmt::format("cannot read {}: {}", path, e.reason()));
    }
  }
  ~OpenFile() {
    if (file) std::fclose(file);
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  // The next line without its newline; false at the end. Throws for a line
  // longer than any the runner writes.
  bool Line(std::string& line, const std::string& path, int number) {
    line.clear();
    int c;
    while ((c = std::getc(file)) != EOF && c != '\n') {
      if (line.size() >= inputs::kInputBound)
        throw RunError(fmt::format("{}:{}: a line longer than {} bytes", path, number, inputs::kInputBound));
      line += static_cast<char>(c);
    }
    return c != EOF || !line.empty();
  }
  std::FILE* file = nullptr;
};

// A cache file is one JSON object over many lines; an events file one object
// a line, each with an "event" member.
bool LooksLikeCache(OpenFile& f, const std::string& path) {
  std::string first;
  f.Line(first, path, 1);
  std::rewind(f.file);
  return first.find("\"event\"") == std::string::npos;
}

int DecodeCache(const std::string& path, Printer& printer) {
  for (const auto& part : CacheSystemsFromJson(ReadJson(path, "cache file"), path))
  for (const auto& e : part.children) {
    Image im{"cache", std::nullopt, e.dataId, catalogue::RecordOfDevice(e.deviceType), e.image};
    if (!im.record) {
      std::fprintf(stderr, "qpr2427k-host: %s: entry %u: no record is known for device type \"%s\"\n", path.c_str(),
                   e.index, e.deviceType.c_str());
      continue;
    }
    printer.Print(im);
  }
  return 0;
}

int DecodeEvents(OpenFile& in, const std::string& path, Printer& printer) {
  Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::map<unsigned, const catalogue::Record*> typeOf;  // data id -> its publications' record
  std::string text;
  int number = 0, images = 0;
  while (in.Line(text, path, number + 1)) {
    ++number;
    if (text.empty()) continue;
    Json::Value e;
    std::string error;
    if (!reader->parse(text.data(), text.data() + text.size(), &e, &error) || !e.isObject() || !e["event"].isString())
      throw RunError(fmt::format("{}:{}: not an events line: {}", path, number, error.empty() ? "no \"event\"" : error));
    const std::string kind = e["event"].asString();
    if (kind != "publish" && kind != "history") continue;
    Image im;
    im.source = kind;
    if (e["t"].isInt64()) im.t = e["t"].asInt64();
    im.dataId = e["data_id"].asUInt();
    bool hex = false;
    im.bytes = FromHex(e["image"].asString(), hex);
    if (!hex) throw RunError(fmt::format("{}:{}: the image is not hex", path, number));
    if (kind == "publish") {
      im.record = catalogue::RecordOfType(e["record_type"].asInt());
      if (im.record) typeOf[im.dataId] = im.record;
    } else if (const auto it = typeOf.find(im.dataId); it != typeOf.end()) {
      im.record = it->second;
    }
    if (!im.record) continue;  // a record no catalogue describes, or history before any publication
    printer.Print(im);
    ++images;
  }
  if (number > 0 && images == 0) std::fprintf(stderr, "qpr2427k-host: %s: no image to decode\n", path.c_str());
  return 0;
}

}  // namespace

int DecodeImages(const std::string& path, DecodeFormat format, std::FILE* out) {
  OpenFile file(path);
  const bool cache = LooksLikeCache(file, path);
  Printer printer(format, out);
  return cache ? DecodeCache(path, printer) : DecodeEvents(file, path, printer);
}

}  // namespace runner
