// YD/T 1363.3 engine: framing, reassembly, checks, dispatch to process_payload().
#include "host/PMBusProtocol.h"

#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace yd1363 {
namespace {
constexpr char kHex[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower case is not part of the protocol's alphabet
}

void PutByte(std::string& s, unsigned v) {
  s += kHex[(v >> 4) & 0xF];
  s += kHex[v & 0xF];
}
}  // namespace

bool ReadHexByte(const char* p, unsigned char& out) {
  const int hi = HexValue(p[0]), lo = HexValue(p[1]);
  if (hi < 0 || lo < 0) return false;
  out = static_cast<unsigned char>(hi << 4 | lo);
  return true;
}

unsigned LengthChecksum(unsigned lenid) {
  const unsigned sum = (lenid & 0xF) + ((lenid >> 4) & 0xF) + ((lenid >> 8) & 0xF);
  return (~sum + 1) & 0xF;
}

unsigned FrameChecksum(const char* text, std::size_t length) {
  unsigned sum = 0;
  for (std::size_t k = 0; k < length; ++k) sum += static_cast<unsigned char>(text[k]);
  return (~sum + 1) & 0xFFFF;
}

std::string Encode(unsigned char ver, unsigned char adr, unsigned char cid1, unsigned char cid2,
                   const unsigned char* info, std::size_t infoLength) {
  if (infoLength > kMaxInfoBytes) throw std::length_error("yd1363::Encode: info too long");
  std::string s;
  s.reserve(18 + 2 * infoLength);
  s += static_cast<char>(kSOI);
  PutByte(s, ver);
  PutByte(s, adr);
  PutByte(s, cid1);
  PutByte(s, cid2);
  const unsigned lenid = static_cast<unsigned>(2 * infoLength);
  const unsigned length = LengthChecksum(lenid) << 12 | lenid;
  PutByte(s, length >> 8);
  PutByte(s, length & 0xFF);
  for (std::size_t k = 0; k < infoLength; ++k) PutByte(s, info[k]);
  const unsigned chk = FrameChecksum(s.data() + 1, s.size() - 1);
  PutByte(s, chk >> 8);
  PutByte(s, chk & 0xFF);
  s += static_cast<char>(kEOI);
  return s;
}

std::string Decode(const char* text, std::size_t length, Decoded& out) {
  if (length < 16) return "short frame";
  if (length % 2 != 0) return "odd length";
  for (std::size_t k = 0; k < length; ++k)
    if (HexValue(text[k]) < 0) return "not hex";
  unsigned char lenHi = 0, lenLo = 0;
  ReadHexByte(text, out.ver);
  ReadHexByte(text + 2, out.adr);
  ReadHexByte(text + 4, out.cid1);
  ReadHexByte(text + 6, out.cid2);
  ReadHexByte(text + 8, lenHi);
  ReadHexByte(text + 10, lenLo);
  const unsigned lenid = (lenHi & 0x0F) << 8 | lenLo;
  if ((lenHi >> 4) != LengthChecksum(lenid)) return "bad LCHKSUM";
  if (lenid % 2 != 0 || 12 + lenid + 4 != length) return "LENID does not match the info length";
  unsigned char c1 = 0, c2 = 0;
  ReadHexByte(text + length - 4, c1);
  ReadHexByte(text + length - 2, c2);
  if ((static_cast<unsigned>(c1) << 8 | c2) != FrameChecksum(text, length - 4)) return "bad CHKSUM";
  out.info.resize(lenid / 2);
  for (std::size_t k = 0; k < out.info.size(); ++k) ReadHexByte(text + 12 + 2 * k, out.info[k]);
  return {};
}
}  // namespace yd1363

PMBusProtocol::PMBusProtocol() {
  rx_.reserve(kMaxFrameChars);
  replyBuf_.reserve(6 + 4095 / 2);
}

PMBusProtocol::~PMBusProtocol() = default;

bool PMBusProtocol::InitSetting(const Json::Value& settings) {
  if (!settings.isObject()) return settings.isNull();
  const Json::Value& adr = settings["address"];
  if (adr.isNull()) {
    address_ = 1;
    return true;
  }
  // isUInt() before asUInt(): asUInt() throws on values it cannot convert.
  if (!adr.isUInt() || adr.asUInt() > 255) {
    InfoLog("PMBusProtocol: {} setting \"address\" must be a number from 0 to 255", DataId());
    return false;
  }
  address_ = static_cast<unsigned char>(adr.asUInt());
  return true;
}

void PMBusProtocol::Reset() {
  KLDSPDevice::Reset();
  rx_.clear();
  inFrame_ = false;
}

void PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2) {
  write_pmbus_cmd(cid1, cid2, nullptr, 0);
}

void PMBusProtocol::write_pmbus_cmd(unsigned char cid1, unsigned char cid2,
                                    const unsigned char* info, int length) {
  if (length < 0 || !info) length = 0;
  if (static_cast<std::size_t>(length) > yd1363::kMaxInfoBytes) {
    InfoLog("PMBusProtocol: {} command {} {} has {} info bytes, more than a frame carries",
            DataId(), static_cast<unsigned>(cid1), static_cast<unsigned>(cid2), length);
    return;
  }
  txText_ = yd1363::Encode(version_, address_, cid1, cid2, info, static_cast<std::size_t>(length));
  ++stats_.commands;
  // A new command ends whatever was half received for the previous one.
  rx_.clear();
  inFrame_ = false;
  SendData(reinterpret_cast<const unsigned char*>(txText_.data()),
           static_cast<unsigned>(txText_.size()));
}

void PMBusProtocol::PauseBeforeReply() const {
  if (replyPause_.count() > 0) usleep(static_cast<useconds_t>(replyPause_.count()));
}

void PMBusProtocol::Reject(const char* reason, std::string_view frame, unsigned char rtn) {
  ++stats_.rejected;
  if (auto c = controller_.lock()) {
    ProtocolEvent e(ProtocolEvent::Kind::Rejected);
    e.rtn = rtn;
    e.frame = frame;
    e.reason = reason;
    c->OnProtocolEvent(*this, e);
  }
}

int PMBusProtocol::process(unsigned char* data, unsigned length) {
  int handled = 0;
  for (unsigned k = 0; data && k < length; ++k) {
    const char ch = static_cast<char>(data[k]);
    if (ch == static_cast<char>(yd1363::kSOI)) {
      if (inFrame_ && rx_.size() > 1) Reject("frame cut short by a new SOI", rx_);
      rx_.assign(1, ch);
      inFrame_ = true;
      continue;
    }
    if (!inFrame_) continue;  // noise between frames
    if (ch == static_cast<char>(yd1363::kEOI)) {
      inFrame_ = false;
      if (HandleFrame()) ++handled;
      continue;
    }
    if (rx_.size() + 1 >= kMaxFrameChars) {
      Reject("frame too long", std::string_view(rx_).substr(0, 32));
      rx_.clear();
      inFrame_ = false;
      continue;
    }
    rx_ += ch;
  }
  return handled;
}

bool PMBusProtocol::HandleFrame() {
  yd1363::Decoded& d = rxDecoded_;
  const std::string reason = yd1363::Decode(rx_.data() + 1, rx_.size() - 1, d);
  if (!reason.empty()) {
    Reject(reason.c_str(), rx_);
    return false;
  }
  if (d.adr != address_) {
    Reject("address is not ours", rx_, d.cid2);
    return false;
  }
  if (!exchangeOpen_) {
    Reject("no command awaits a reply", rx_, d.cid2);
    return false;
  }
  if (d.cid2 != 0) {
    CloseExchange();
    Reject("return code is not 00", rx_, d.cid2);
    return false;
  }
  ++stats_.replies;
  const unsigned lenid = static_cast<unsigned>(d.info.size() * 2);
  replyBuf_.resize(6 + d.info.size());
  replyBuf_[0] = d.ver;
  replyBuf_[1] = d.adr;
  replyBuf_[2] = d.cid1;
  replyBuf_[3] = d.cid2;
  replyBuf_[4] = static_cast<unsigned char>(lenid & 0xFF);
  replyBuf_[5] = static_cast<unsigned char>(lenid >> 8);
  if (!d.info.empty()) std::memcpy(replyBuf_.data() + 6, d.info.data(), d.info.size());
  if (auto c = controller_.lock()) {
    ProtocolEvent e(ProtocolEvent::Kind::Reply);
    e.cid1 = d.cid1;
    e.rtn = d.cid2;
    e.info = replyBuf_.data() + 6;
    e.infoLen = d.info.size();
    e.frame = rx_;
    c->OnProtocolEvent(*this, e);
  }
  CloseExchange();
  reply_ = replyBuf_.data();
  process_payload();
  reply_ = nullptr;
  return true;
}

void PMBusProtocol::process_error() {
  ++stats_.timeouts;
  rx_.clear();
  inFrame_ = false;
  CloseExchange();
  if (auto c = controller_.lock()) c->OnProtocolEvent(*this, ProtocolEvent(ProtocolEvent::Kind::Timeout));
}
