// Fuzz target for the whole port device: a configured QPR2427K fed a run of
// arbitrary replies across the steps of its polling cycle, with time-outs,
// round ends, value queries on every child and restores from the cache.
//
// Input: byte 0 sets up the device: bits 0-1 the AC units (0-3), bits 2-4 the
// DC units (0-7). Then records, each a control byte, a length byte and that
// many info bytes. Control bits:
//   0-1  0 or 1: a reply with the unit code the step awaits; 2: with the unit
//        code in the next byte; 3: no reply, the host's time-out (process_error())
//   2    the reply goes through process() as a frame; otherwise the reply view
//        is an exact heap copy handed straight to process_payload(), so a read
//        past the info field is caught
//   3    through process(): in two chunks, cut where the next byte says
//   4    the clock moves 61 s on first
//   5    256 more info bytes
//   6    the info bytes go to process() as raw line bytes instead
//   7    after the record every child is restored from its last published image
// Whenever no exchange is open the host asks RefreshStatus(), which must send a
// command: polling never stops for good.
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "host/PMBusProtocol.h"
#include "power/QPR2427K.h"

namespace {

using fuzzing::Check;

bool ValidStep(int step) { return (step >= 0 && step <= 9) || step == 14; }

Json::Value Settings(unsigned nAC, unsigned nDC) {
  Json::Value s(Json::objectValue);
  for (unsigned k = 0; k < nAC; ++k) s["acSetting"][k]["data_id"] = 11 + k;
  for (unsigned k = 0; k < nDC; ++k) s["dcSetting"][k]["data_id"] = 21 + k;
  s["rcSetting"] = Json::Value(Json::objectValue);
  return s;
}

// Every child is asked its keys; right after a round end the AC and DC units answer.
void QueryChildren(QPR2427K& port, bool justEnded) {
  for (const auto& ac : port.acDevices_) {
    Check(fuzzing::Query(*ac, "ia") || !justEnded, "AC unit does not answer after a round");
    fuzzing::Query(*ac, "channel_0_a");
  }
  for (const auto& dc : port.dcDevices_)
    Check(fuzzing::Query(*dc, "v") || !justEnded, "DC unit does not answer after a round");
  Check(!fuzzing::Query(*port.rcDevice_, "v"), "rectifier answered a key");
  Check(!fuzzing::Query(port, "v"), "port device answered a key");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::SilenceTrace();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::StartClock();
  fuzzing::Input in(data, size);
  const std::uint8_t setup = in.Byte();
  static fuzzing::Host host;
  fuzzing::Controller* ctl = host.controller.get();
  ctl->Clear();
  auto port = std::make_shared<QPR2427K>();
  port->Init(host.controller, 100, Json::Value());
  port->SetReplyPause(std::chrono::microseconds(0));
  Check(port->InitSetting(Settings(setup & 3u, (setup >> 2) & 7u)), "settings refused");

  long rounds = 0;
  ctl->onPublish = [&](const KLDVDevice& d, int type) {
    if (type == 5027 && &d == port->rcDevice_.get()) ++rounds;
  };
  const std::vector<std::shared_ptr<KLDVDevice>> children = port->GetAllChildVDevices();

  for (int records = 0; !in.empty() && records < 200; ++records) {
    if (!port->IsProcessing()) {
      const int r = port->RefreshStatus();
      Check(r == 1 && port->IsProcessing(), "polling stopped: no command sent");
    }
    yd1363::Decoded cmd;
    const std::string sent(ctl->sent.begin(), ctl->sent.end());
    Check(sent.size() > 2 && yd1363::Decode(sent.data() + 1, sent.size() - 2, cmd).empty(), "command frame");

    const std::uint8_t ctrl = in.Byte();
    const std::size_t want = in.Byte() + ((ctrl & 0x20) ? 256u : 0u);
    if (ctrl & 0x10) host_clock::Advance(61);
    const long roundsBefore = rounds;
    const int stepBefore = port->step_;
    if ((ctrl & 3) == 3) {
      port->process_error();
    } else {
      const unsigned char unit = (ctrl & 3) == 2 ? in.Byte() : cmd.cid1;
      const unsigned char cut = (ctrl & 0x08) ? in.Byte() : 0;
      std::vector<unsigned char> info = in.Bytes(want);
      if (ctrl & 0x40) {
        port->process(info.data(), static_cast<unsigned>(info.size()));
      } else if (ctrl & 0x04) {
        std::string frame = yd1363::Encode(0x21, port->Address(), unit, 0, info.data(), info.size());
        std::vector<unsigned char> wire(frame.begin(), frame.end());
        const std::size_t at = (ctrl & 0x08) ? cut % wire.size() : wire.size();
        std::vector<unsigned char> first(wire.begin(), wire.begin() + static_cast<long>(at));
        std::vector<unsigned char> second(wire.begin() + static_cast<long>(at), wire.end());
        port->process(first.data(), static_cast<unsigned>(first.size()));
        port->process(second.data(), static_cast<unsigned>(second.size()));
      } else {
        // The engine's reply view: version, address, unit code, return code,
        // length word (hex characters, low byte first), then the info bytes.
        const unsigned word = static_cast<unsigned>(2 * info.size());
        std::vector<unsigned char> view = {0x21, port->Address(), unit, 0,
                                           static_cast<unsigned char>(word & 0xFF),
                                           static_cast<unsigned char>(word >> 8)};
        view.insert(view.end(), info.begin(), info.end());
        port->CloseExchange();
        port->reply_ = view.data();
        const int r = port->process_payload();
        port->reply_ = nullptr;
        Check(r == 0 || r == 1, "process_payload result");
        if (r == 0) Check(port->step_ == 0 && !port->IsProcessing(), "a reset leaves step 0 and no exchange");
      }
    }
    Check(ValidStep(port->step_), "step out of the cycle");
    if (rounds != roundsBefore && !(ctrl & 0x40)) {
      // Only the reply of a round's last step ends it: the DC parameters, or
      // the rectifier's replies when there is no DC unit. A time-out never does.
      Check(rounds == roundsBefore + 1 && (ctrl & 3) != 3, "a round ended without a reply");
      Check(stepBefore == 9 || (port->dcDevices_.empty() && stepBefore >= 4 && stepBefore <= 6),
            "a round ended on a reply that is not the round's last");
    }
    if (rounds != roundsBefore) {
      // The host's side of a round end, with the 2-second wait set aside.
      port->dataReady_ = true;
      port->lastUpdate_ = host_clock::LocalSecondClock() - boost::posix_time::seconds(2);
      QueryChildren(*port, true);
    }
    if (ctrl & 0x80) {
      for (const auto& child : children) {
        const fuzzing::Controller::Images& im = ctl->Of(*child);
        if (im.publishes == 0) continue;
        // An AC unit with no channels publishes the bare 40-byte record, which
        // its restore refuses by design; every other image is taken back.
        const bool bareAcRecord = im.recordType == 5026 && im.published.size() == 40;
        Check(child->LoadFromCache(im.published.data(), static_cast<int>(im.published.size())) == (bareAcRecord ? 0 : 1),
              "a published image is refused by its own unit");
      }
      QueryChildren(*port, false);
    }
  }
  ctl->onPublish = nullptr;  // it refers to this input's device
  return 0;
}
