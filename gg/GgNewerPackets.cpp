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
bool ReadPackedUin(std::string_view Field, int32_t& Uin) {
  if (Field.size() < 2 || static_cast<unsigned char>(Field[1]) != Field.size() - 2) return false;
  return ReadUinDigits(Field.substr(2), Uin);
}

bool IsNumber(const TProtobufReader& R) { return R.WireType() != TProtobufReader::pwBytes; }

}  // namespace

bool ReadUinDigits(std::string_view Digits, int32_t& Uin) {
  if (Digits.empty() || Digits.size() > kMaxUinDigits) return false;
  uint64_t value = 0;
  for (char c : Digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > UINT32_MAX) return false;
  Uin = static_cast<int32_t>(static_cast<uint32_t>(value));
  return true;
}

bool ReadLogin80(std::string_view Payload, TGgLogin& Out) {
  TGgReader r(Payload);
  Out.Uin = static_cast<int32_t>(r.U32());
  r.Take(kLogin80StatusOffset - r.Offset());
  Out.Status = r.U32();
  r.Take(kLogin80VersionOffset - r.Offset());
  r.Take(r.U32());
  Out.Description = r.Take(r.U32());
  return r.Ok();
}

bool ReadLogin105(std::string_view Payload, TGgLogin& Out) {
  TProtobufReader r(Payload);
  bool haveUin = false;
  Out = TGgLogin();
  while (r.Next()) {
    switch (r.Field()) {
      case 2:
        if (r.WireType() != TProtobufReader::pwBytes || !ReadPackedUin(r.Bytes(), Out.Uin)) return false;
        haveUin = true;
        break;
      case 8:
        if (!IsNumber(r)) return false;
        Out.Status = static_cast<uint32_t>(r.Number());
        break;
      case 9:
        if (r.WireType() != TProtobufReader::pwBytes) return false;
        Out.Description = r.Bytes();
        break;
      default:
        break;
    }
  }
  return !r.Failed() && haveUin;
}

bool ReadNewStatus80(std::string_view Payload, TGgNewStatus& Out) {
  TGgReader r(Payload);
  Out.Status = r.U32();
  r.U32();  // flags
  Out.Description = r.Take(r.U32());
  return r.Ok();
}

bool ReadSendMsg80(std::string_view Payload, TGgSentMessage& Out) {
  TGgReader r(Payload);
  Out.Recipient = static_cast<int32_t>(r.U32());
  Out.Sequence = static_cast<int32_t>(r.U32());
  Out.Class = static_cast<int32_t>(r.U32());
  uint32_t plainAt = r.U32();
  uint32_t attrAt = r.U32();
  if (!r.Ok() || plainAt < kSendMsg80Head || plainAt > Payload.size() || attrAt > Payload.size()) return false;
  if (attrAt != 0 && attrAt < plainAt) return false;
  size_t plainEnd = attrAt != 0 ? attrAt : Payload.size();
  auto upToNul = [](std::string_view Part) { return Part.substr(0, Part.find('\0')); };
  Out.Html = upToNul(Payload.substr(kSendMsg80Head, plainAt - kSendMsg80Head));
  Out.Plain = upToNul(Payload.substr(plainAt, plainEnd - plainAt));
  Out.Attributes = attrAt != 0 ? Payload.substr(attrAt) : std::string_view();
  return true;
}

bool ReadSendMsg110(std::string_view Payload, TGgSentMessage& Out) {
  TProtobufReader r(Payload);
  bool haveRecipient = false;
  Out = TGgSentMessage();
  while (r.Next()) {
    bool number = IsNumber(r);
    switch (r.Field()) {
      case 1:
        if (number || !ReadPackedUin(r.Bytes(), Out.Recipient)) return false;
        haveRecipient = true;
        break;
      case 2:
        if (!number) return false;
        Out.Class = static_cast<int32_t>(r.Number());
        break;
      case 3:
        if (!number) return false;
        Out.Sequence = static_cast<int32_t>(r.Number());
        break;
      case 5:
        if (number) return false;
        Out.Plain = r.Bytes();
        break;
      case 6:
        if (number) return false;
        Out.Html = r.Bytes();
        break;
      default:
        break;
    }
  }
  return !r.Failed() && haveRecipient;
}

bool ReadNotify105(std::string_view Payload, std::vector<int32_t>& Out) {
  TGgReader r(Payload);
  while (r.Left() > 0) {
    r.U8();
    std::string_view digits = r.Take(r.U8());
    r.U8();  // contact type
    int32_t uin = 0;
    if (!r.Ok() || !ReadUinDigits(digits, uin)) return false;
    Out.push_back(uin);
  }
  return true;
}

bool ReadTyping(std::string_view Payload, TGgTyping& Out) {
  TGgReader r(Payload);
  Out.Length = r.U16();
  Out.Uin = static_cast<int32_t>(r.U32());
  return r.Ok();
}

}  // namespace ordwin
