// The capture jobs: the file read in chunks through the frame reader and the
// pairing step; each frame printed as text, a JSON line or a CSV row, or kept
// as a replay line; the summary counts what was seen.
#include "tools/host/cli/Capture.h"

#include <fmt/format.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>

#include "tools/common/InputFile.h"
#include "tools/host/cli/CsvField.h"
#include "tools/host/stream/EventJson.h"
#include "tools/host/stream/RunError.h"
#include "tools/host/wire/CaptureSource.h"
#include "tools/host/wire/Fields.h"
#include "tools/host/wire/FrameReader.h"
#include "tools/host/wire/FrameText.h"
#include "tools/host/wire/Pairing.h"
#include "tools/host/wire/Pcap.h"

namespace runner {
namespace {

using wire::Frame;

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File OpenCapture(const std::string& path) {
  try {
    return File(inputs::OpenInputStream(path, "capture"));
  } catch (const inputs::InputError& e) {
    throw RunError(e.what());
  }
}

// Every frame of the capture, paired, to `each`; the pairing's counts after.
// A line that cannot be read ends the reading, but the frames before it are
// all handed on before the error is thrown.
template <typename Each>
wire::Pairing::Stats ReadCapture(const File& file, const std::string& path, std::uint64_t& garbage, Each each) {
  wire::Pairing pairing(each);
  wire::FrameReader reader([&](Frame&& f) { pairing.Add(std::move(f)); });
  std::string error;
  try {
    wire::CaptureSource source(file.get(), path);
    wire::Chunk chunk;
    while (source.Next(chunk))
      reader.Feed(reinterpret_cast<const unsigned char*>(chunk.bytes.data()), chunk.bytes.size(), chunk.time,
                  chunk.direction, chunk.stream);
  } catch (const wire::CaptureError& e) {
    error = e.what();
  }
  reader.Finish();
  pairing.Finish();
  garbage = reader.GarbageBytes();
  if (!error.empty()) throw RunError(error);
  return pairing.stats();
}

using wire::CommandText;
using wire::MeaningOf;
using wire::RoleKey;
using wire::TimeText;

const char* DirectionKey(wire::Direction d) {
  return d == wire::Direction::ToDevice ? "to_device" : d == wire::Direction::FromDevice ? "from_device" : "unknown";
}
const char* PairKey(const Frame& f) {
  switch (f.pair) {
    case wire::Pair::Paired: return "paired";
    case wire::Pair::NoReply: return "no_reply";
    case wire::Pair::NoCommand: return "no_command";
    case wire::Pair::None: break;
  }
  return "";
}

class FramePrinter {
 public:
  FramePrinter(CaptureOutput format, std::FILE* out) : format_(format), out_(out) {
    if (format_ == CaptureOutput::Csv)
      Put("number,time,direction,address,role,cid1,cid2,command,rtn,info_length,check,pairing,latency_ms,"
          "garbage_before,values\n");
  }

  void Print(const Frame& f) {
    const wire::Meaning m = MeaningOf(f);
    if (format_ == CaptureOutput::JsonLines) return PrintJson(f, m);
    const bool reply = f.role == wire::Role::Reply;
    const std::string adr = f.header ? fmt::format("{:02X}", f.adr) : "";
    const std::string rtn = f.header && reply ? fmt::format("{:02X}", f.cid2) : "";
    std::string values = m.summary;
    if (!m.problem.empty()) values += (values.empty() ? "" : "; ") + m.problem;
    if (format_ == CaptureOutput::Csv) {
      Put(fmt::format("{},{},{},{},{},{},{},{},{},{},{},{},{},{},{}\n", f.number, TimeText(f.time),
                      DirectionKey(f.direction), adr, f.header ? RoleKey(f.role) : "",
                      f.header ? fmt::format("{:02X}", f.cid1) : "",
                      !f.header || (reply && f.commandCid2 < 0) ? ""
                                                                : fmt::format("{:02X}", reply ? f.commandCid2 : f.cid2),
                      CsvField(CommandText(f)), rtn, f.header ? std::to_string(f.lenid / 2) : "",
                      CsvField(wire::FaultText(f.faults)), PairKey(f),
                      std::isfinite(f.latency) ? fmt::format("{:.3f}", f.latency * 1e3) : "", f.garbageBefore,
                      CsvField(values)));
      return;
    }
    Put(wire::FrameLine(f, m) + "\n");
  }

  void Summary(std::uint64_t frames, std::uint64_t intact, const wire::Pairing::Stats& s, std::uint64_t garbage) {
    const std::uint64_t unpaired = s.noReply + s.noCommand;
    if (format_ == CaptureOutput::JsonLines) {
      Put(EventLine({{"summary", true}, {"frames", static_cast<Json::UInt64>(frames)},
                     {"intact", static_cast<Json::UInt64>(intact)}, {"damaged", static_cast<Json::UInt64>(frames - intact)},
                     {"paired", static_cast<Json::UInt64>(s.paired)}, {"unpaired", static_cast<Json::UInt64>(unpaired)},
                     {"no_reply", static_cast<Json::UInt64>(s.noReply)},
                     {"no_command", static_cast<Json::UInt64>(s.noCommand)},
                     {"collisions", static_cast<Json::UInt64>(s.collisions)},
                     {"garbage_bytes", static_cast<Json::UInt64>(garbage)}}) +
          "\n");
      return;
    }
    const std::string text = fmt::format(
        "frames {}, intact {}, damaged {}, paired {}, unpaired {} ({} without reply, {} without command), "
        "collisions {}, garbage bytes {}\n",
        frames, intact, frames - intact, s.paired, unpaired, s.noReply, s.noCommand, s.collisions, garbage);
    // A CSV file holds rows only: the summary goes to standard error.
    if (format_ == CaptureOutput::Csv) std::fputs(text.c_str(), stderr);
    else Put(text);
  }

 private:
  void PrintJson(const Frame& f, const wire::Meaning& m) {
    Fields line{{"number", static_cast<Json::UInt64>(f.number)}};
    if (std::isfinite(f.time)) line.push_back({"time", TimeText(f.time)});
    line.push_back({"direction", DirectionKey(f.direction)});
    if (f.header) {
      const bool reply = f.role == wire::Role::Reply;
      line.push_back({"address", fmt::format("{:02X}", f.adr)});
      line.push_back({"role", RoleKey(f.role)});
      line.push_back({"cid1", fmt::format("{:02X}", f.cid1)});
      if (!reply) line.push_back({"cid2", fmt::format("{:02X}", f.cid2)});
      if (reply && f.commandCid2 >= 0) line.push_back({"command_cid2", fmt::format("{:02X}", f.commandCid2)});
      line.push_back({"command", CommandText(f)});
      if (reply) {
        line.push_back({"rtn", fmt::format("{:02X}", f.cid2)});
        line.push_back({"rtn_text", wire::RtnText(f.cid2)});
      }
      line.push_back({"info_length", f.lenid / 2});
    }
    Json::Value faults(Json::arrayValue);
    for (const char* k : wire::FaultKeys(f.faults)) faults.append(k);
    line.push_back({"intact", f.Intact()});
    line.push_back({"faults", faults});
    if (f.pair != wire::Pair::None) line.push_back({"pairing", PairKey(f)});
    if (f.pairedWith) line.push_back({"paired_with", static_cast<Json::UInt64>(f.pairedWith)});
    if (f.collision) line.push_back({"collision", true});
    if (std::isfinite(f.latency)) line.push_back({"latency_ms", std::round(f.latency * 1e6) / 1e3});
    if (f.garbageBefore) line.push_back({"garbage_before", static_cast<Json::UInt64>(f.garbageBefore)});
    if (!m.summary.empty()) {
      Json::Value values(Json::arrayValue);
      for (const auto& v : m.values) {
        Json::Value o(Json::objectValue);
        o["key"] = v.key;
        o["name"] = v.name;
        o["value"] = v.text.empty() ? Number(static_cast<float>(v.number)) : Json::Value(v.text);
        if (*v.unit) o["unit"] = v.unit;
        values.append(o);
      }
      line.push_back({"summary", m.summary});
      line.push_back({"values", values});
    }
    if (!m.problem.empty()) line.push_back({"problem", m.problem});
    line.push_back({"frame", f.text});
    Put(EventLine(line) + "\n");
  }

  void Put(const std::string& s) {
    if (std::fputs(s.c_str(), out_) == EOF) throw RunError("cannot write the decoded frames");
  }

  CaptureOutput format_;
  std::FILE* out_;
};

}  // namespace

int DecodeCapture(const std::string& path, CaptureOutput format, const std::string& pcapPath, std::FILE* out) {
  const File capture = OpenCapture(path);
  File pcapFile;
  std::unique_ptr<wire::PcapWriter> pcap;
  if (!pcapPath.empty()) {
    pcapFile.reset(std::fopen(pcapPath.c_str(), "wb"));
    if (!pcapFile) throw RunError(fmt::format("cannot write the pcap file {}: {}", pcapPath, std::strerror(errno)));
    pcap = std::make_unique<wire::PcapWriter>(pcapFile.get());
  }
  FramePrinter printer(format, out);
  std::uint64_t frames = 0, intact = 0, garbage = 0;
  const auto stats = ReadCapture(capture, path, garbage, [&](Frame&& f) {
    ++frames;
    if (f.Intact()) ++intact;
    printer.Print(f);
    if (pcap) pcap->Write(f);
  });
  printer.Summary(frames, intact, stats, garbage);
  if (pcap && (!pcap->ok() || std::fflush(pcapFile.get()) != 0))
    throw RunError(fmt::format("cannot write the pcap file {}: {}", pcapPath, std::strerror(errno)));
  if (frames == 0) std::fprintf(stderr, "qpr2427k-host: %s: no frame found\n", path.c_str());
  return 0;
}

int CaptureToReplay(const std::string& path, std::FILE* out) {
  const File capture = OpenCapture(path);
  std::fprintf(out, "# replies of %s, one a command ('-': none came)\n", path.c_str());
  std::uint64_t garbage = 0, commands = 0;
  // One line a command, in their order: a paired command's line waits for its
  // reply, which the pairing hands on after it.
  struct Line {
    std::uint64_t reply;  // the reply's number, 0: none came
    std::string text;
  };
  std::deque<Line> lines;
  const auto flush = [&] {
    for (; !lines.empty() && (lines.front().reply == 0 || !lines.front().text.empty()); lines.pop_front())
      std::fprintf(out, "%s\n", lines.front().reply == 0 ? "-" : lines.front().text.c_str());
  };
  ReadCapture(capture, path, garbage, [&](Frame&& f) {
    if (f.role == wire::Role::Command) {
      ++commands;
      lines.push_back({f.pair == wire::Pair::Paired ? f.pairedWith : 0, {}});
    } else if (f.role == wire::Role::Reply && f.pair == wire::Pair::Paired) {
      for (auto& l : lines)
        if (l.reply == f.number) l.text = f.text.find('\n') == std::string::npos ? f.text : "-";  // one line each
    }
    flush();
  });
  if (std::fflush(out) != 0) throw RunError("cannot write the replay");
  if (commands == 0) std::fprintf(stderr, "qpr2427k-host: %s: no command found\n", path.c_str());
  return 0;
}

}  // namespace runner
