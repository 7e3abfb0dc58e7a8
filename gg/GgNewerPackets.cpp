#include "gg/GgNewerPackets.h"

#include "gg/GgReader.h"
#include "gg/ProtobufReader.h"

namespace ordwin {

namespace {

constexpr size_t kLogin80StatusOffset = 71;
constexpr size_t kLogin80VersionOffset = 97;
constexpr size_t kSendMsg80Head = 20;
constexpr size_t kMaxUinDigits = 10;

// A number of a GG 11 packet: flag byte, length byte, that many digits.
bool ReadPackedUin(std::string_view field, int32_t& uin) {
  if (field.size() < 2 || static_cast<unsigned char>(field[1]) != field.size() - 2) return false;
  return ReadUinDigits(field.substr(2), uin);
}

bool IsNumber(const TProtobufReader& r) { return r.WireType() != TProtobufReader::pwBytes; }

// A text field ends at its first NUL, in every dialect: what follows would otherwise reach the
// newer recipients and be cut off for the 6.0 ones.
std::string_view UpToNul(std::string_view part) { return part.substr(0, part.find('\0')); }

// The fields of a GG 11 message; with headOnly, a field cut short ends the walk instead of
// failing it.
bool ReadMessage110(std::string_view payload, TGgSentMessage& out, bool headOnly) {
  TProtobufReader r(payload);
  bool haveRecipient = false;
  out = TGgSentMessage();
  while (r.Next()) {
    bool number = IsNumber(r);
    switch (r.Field()) {
      case 1:
        if (number || !ReadPackedUin(r.Bytes(), out.Recipient)) return false;
        haveRecipient = true;
        break;
      case 2:
        if (!number) return false;
        out.Class = static_cast<int32_t>(r.Number());
        break;
      case 3:
        if (!number) return false;
        out.Sequence = static_cast<int32_t>(r.Number());
        break;
      case 5:
        if (number) return false;
        out.Plain = UpToNul(r.Bytes());
        break;
      case 6:
        if (number) return false;
        out.Html = UpToNul(r.Bytes());
        break;
      default:
        break;
    }
  }
  return (headOnly || !r.Failed()) && haveRecipient;
}

}  // namespace

bool ReadUinDigits(std::string_view digits, int32_t& uin) {
  if (digits.empty() || digits.size() > kMaxUinDigits) return false;
  uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > UINT32_MAX) return false;
  uin = static_cast<int32_t>(static_cast<uint32_t>(value));
  return true;
}

bool ReadLogin80(std::string_view payload, TGgLogin& out) {
  TGgReader r(payload);
  out.Uin = static_cast<int32_t>(r.U32());
  r.Take(kLogin80StatusOffset - r.Offset());
  out.Status = r.U32();
  r.Take(kLogin80VersionOffset - r.Offset());
  r.Take(r.U32());
  out.Description = r.Take(r.U32());
  return r.Ok();
}

bool ReadLogin110(std::string_view payload, TGgLogin& out) {
  TProtobufReader r(payload);
  bool haveUin = false;
  out = TGgLogin();
  while (r.Next()) {
    switch (r.Field()) {
      case 2:
        if (r.WireType() != TProtobufReader::pwBytes || !ReadPackedUin(r.Bytes(), out.Uin)) return false;
        haveUin = true;
        break;
      case 8:
        if (!IsNumber(r)) return false;
        out.Status = static_cast<uint32_t>(r.Number());
        break;
      case 9:
        if (r.WireType() != TProtobufReader::pwBytes) return false;
        out.Description = r.Bytes();
        break;
      default:
        break;
    }
  }
  return !r.Failed() && haveUin;
}

bool ReadNewStatus80(std::string_view payload, TGgNewStatus& out) {
  TGgReader r(payload);
  out.Status = r.U32();
  r.U32();  // flags
  out.Description = r.Take(r.U32());
  return r.Ok();
}

bool ReadSendMsg80(std::string_view payload, TGgSentMessage& out) {
  TGgReader r(payload);
  out.Recipient = static_cast<int32_t>(r.U32());
  out.Sequence = static_cast<int32_t>(r.U32());
  out.Class = static_cast<int32_t>(r.U32());
  uint32_t plainAt = r.U32();
  uint32_t attrAt = r.U32();
  if (!r.Ok() || plainAt < kSendMsg80Head || plainAt > payload.size() || attrAt > payload.size()) return false;
  if (attrAt != 0 && attrAt < plainAt) return false;
  size_t plainEnd = attrAt != 0 ? attrAt : payload.size();
  out.Html = UpToNul(payload.substr(kSendMsg80Head, plainAt - kSendMsg80Head));
  out.Plain = UpToNul(payload.substr(plainAt, plainEnd - plainAt));
  out.Attributes = attrAt != 0 ? payload.substr(attrAt) : std::string_view();
  return true;
}

bool ReadSendMsg110(std::string_view payload, TGgSentMessage& out) { return ReadMessage110(payload, out, false); }

bool ReadMessageHead80(std::string_view head, TGgSentMessage& out) {
  TGgReader r(head);
  out = TGgSentMessage();
  out.Recipient = static_cast<int32_t>(r.U32());
  out.Sequence = static_cast<int32_t>(r.U32());
  out.Class = static_cast<int32_t>(r.U32());
  return r.Ok();
}

bool ReadMessageHead110(std::string_view head, TGgSentMessage& out) { return ReadMessage110(head, out, true); }

bool ReadNotify110(std::string_view payload, std::vector<int32_t>& out) {
  TGgReader r(payload);
  while (r.Left() > 0) {
    r.U8();
    std::string_view digits = r.Take(r.U8());
    r.U8();  // contact type
    int32_t uin = 0;
    if (!r.Ok() || !ReadUinDigits(digits, uin)) return false;
    out.push_back(uin);
  }
  return true;
}

bool ReadTyping(std::string_view payload, TGgTyping& out) {
  TGgReader r(payload);
  out.Length = r.U16();
  out.Uin = static_cast<int32_t>(r.U32());
  return r.Ok();
}

}  // namespace ordwin
