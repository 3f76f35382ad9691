-- Wireshark dissector for the power system's serial frames as qpr2427k-host
-- --decode-capture --pcap writes them: link type 147 (DLT_USER0), each record
-- a direction byte (0 unknown, 1 to the device, 2 from it) and one frame:
-- '~' VER ADR CID1 CID2 LENGTH INFO CHKSUM CR, all after '~' as ASCII hex.
--   tshark -X lua_script:qpr2427k.lua -r capture.pcap
-- or copy this file into ~/.local/lib/wireshark/plugins/.

local proto = Proto("qpr2427k", "QPR2427K power system serial frame")

local directions = { [0] = "unknown", [1] = "to the device", [2] = "from the device" }
local commands = {
  [0x4041] = "AC analog values", [0x4043] = "AC switch status", [0x4044] = "AC alarm status",
  [0x4046] = "AC parameters", [0x4051] = "model",
  [0x4141] = "rectifier analog values", [0x4143] = "rectifier switch status",
  [0x4144] = "rectifier alarm status",
  [0x4241] = "DC analog values", [0x4244] = "DC alarm status", [0x4246] = "DC parameters",
}
local units = { [0x40] = "AC", [0x41] = "rectifier", [0x42] = "DC" }
local rtns = {
  [0x00] = "normal", [0x01] = "VER error", [0x02] = "CHKSUM error", [0x03] = "LCHKSUM error",
  [0x04] = "CID2 invalid", [0x05] = "command format error", [0x06] = "invalid data",
}

local f = {
  direction = ProtoField.uint8("qpr2427k.direction", "Direction", base.DEC, directions),
  soi = ProtoField.string("qpr2427k.soi", "SOI"),
  ver = ProtoField.uint8("qpr2427k.ver", "Version", base.HEX),
  adr = ProtoField.uint8("qpr2427k.adr", "Address", base.HEX),
  cid1 = ProtoField.uint8("qpr2427k.cid1", "CID1", base.HEX, units),
  cid2 = ProtoField.uint8("qpr2427k.cid2", "CID2", base.HEX),
  command = ProtoField.string("qpr2427k.command", "Command"),
  answers = ProtoField.string("qpr2427k.answers", "Answers"),
  rtn = ProtoField.uint8("qpr2427k.rtn", "RTN", base.HEX, rtns),
  length = ProtoField.uint16("qpr2427k.length", "LENGTH", base.HEX),
  lchksum = ProtoField.uint8("qpr2427k.lchksum", "LCHKSUM", base.HEX),
  lchksum_ok = ProtoField.bool("qpr2427k.lchksum_ok", "LCHKSUM correct"),
  lenid = ProtoField.uint16("qpr2427k.lenid", "LENID", base.DEC),
  info = ProtoField.bytes("qpr2427k.info", "INFO"),
  chksum = ProtoField.uint16("qpr2427k.chksum", "CHKSUM", base.HEX),
  chksum_ok = ProtoField.bool("qpr2427k.chksum_ok", "CHKSUM correct"),
  eoi = ProtoField.uint8("qpr2427k.eoi", "EOI", base.HEX),
}
proto.fields = { f.direction, f.soi, f.ver, f.adr, f.cid1, f.cid2, f.command, f.answers, f.rtn, f.length, f.lchksum,
                 f.lchksum_ok, f.lenid, f.info, f.chksum, f.chksum_ok, f.eoi }

local ef = {
  bad_lchksum = ProtoExpert.new("qpr2427k.bad_lchksum", "LCHKSUM does not match LENID",
                                expert.group.CHECKSUM, expert.severity.ERROR),
  bad_chksum = ProtoExpert.new("qpr2427k.bad_chksum", "CHKSUM does not match the frame",
                               expert.group.CHECKSUM, expert.severity.ERROR),
  malformed = ProtoExpert.new("qpr2427k.malformed", "Frame cut short or not hex",
                              expert.group.MALFORMED, expert.severity.ERROR),
}
proto.experts = { ef.bad_lchksum, ef.bad_chksum, ef.malformed }

-- A reply is named by the command it answers: the last command to its address
-- before it, found on the first pass and kept by frame number.
local last_command, answered = {}, {}
function proto.init()
  last_command, answered = {}, {}
end

-- The byte written as two hex characters at offset, or nil.
local function hexbyte(tvb, offset)
  if offset + 2 > tvb:len() then return nil end
  local text = tvb:range(offset, 2):string()
  if not text:match("^[0-9A-F][0-9A-F]$") then return nil end  -- upper case only, as on the line
  return tonumber(text, 16)
end

function proto.dissector(tvb, pinfo, tree)
  if tvb:len() < 1 then return 0 end
  pinfo.cols.protocol = "QPR2427K"
  local t = tree:add(proto, tvb())
  local dir = tvb(0, 1):uint()
  t:add(f.direction, tvb(0, 1))
  local frame = tvb:len() - 1
  if frame < 1 or tvb(1, 1):uint() ~= 0x7E then
    t:add_proto_expert_info(ef.malformed, "no SOI")
    return tvb:len()
  end
  t:add(f.soi, tvb(1, 1))
  local ended = tvb(tvb:len() - 1, 1):uint() == 0x0D
  local body = frame - 1 - (ended and 1 or 0)  -- characters between '~' and CR
  local ver, adr, cid1, cid2 = hexbyte(tvb, 2), hexbyte(tvb, 4), hexbyte(tvb, 6), hexbyte(tvb, 8)
  local lenhi, lenlo = hexbyte(tvb, 10), hexbyte(tvb, 12)
  if body < 16 or not (ver and adr and cid1 and cid2 and lenhi and lenlo) then
    t:add_proto_expert_info(ef.malformed, "frame too short or its header not hex")
    pinfo.cols.info = "damaged frame"
    return tvb:len()
  end
  t:add(f.ver, tvb(2, 2), ver)
  t:add(f.adr, tvb(4, 2), adr)
  t:add(f.cid1, tvb(6, 2), cid1)
  -- A command's CID2 is 40H..7FH (or from 80H up by direction); a reply's is its RTN.
  local reply = dir == 2 or (dir == 0 and cid2 < 0x40)
  local what
  if reply then
    t:add(f.rtn, tvb(8, 2), cid2)
    what = string.format("reply %02X %s, RTN %02X %s", cid1, units[cid1] or "", cid2, rtns[cid2] or "")
    if not pinfo.visited then
      answered[pinfo.number] = last_command[adr]
      last_command[adr] = nil
    end
    local asked = answered[pinfo.number]
    if asked then
      t:add(f.answers, tvb(6, 2), asked):set_generated()
      what = what .. ", to " .. asked
    end
  else
    t:add(f.cid2, tvb(8, 2), cid2)
    local name = commands[cid1 * 256 + cid2] or "unknown command"
    t:add(f.command, tvb(6, 4), string.format("%02X/%02X %s", cid1, cid2, name))
    what = string.format("command %02X/%02X %s", cid1, cid2, name)
    if not pinfo.visited then last_command[adr] = string.format("%02X/%02X %s", cid1, cid2, name) end
  end
  local length = lenhi * 256 + lenlo
  local lenid = length % 4096
  local lchk = math.floor(length / 4096)
  local sum = (lenid % 16) + math.floor(lenid / 16) % 16 + math.floor(lenid / 256) % 16
  local lchk_ok = lchk == (16 - sum % 16) % 16
  local lt = t:add(f.length, tvb(10, 4), length)
  lt:add(f.lchksum, tvb(10, 1), lchk)
  lt:add(f.lenid, tvb(11, 3), lenid)
  local lok = lt:add(f.lchksum_ok, tvb(10, 1), lchk_ok)
  lok:set_generated()
  if not lchk_ok then lt:add_proto_expert_info(ef.bad_lchksum) end
  if 12 + lenid + 4 ~= body then
    t:add_proto_expert_info(ef.malformed, string.format("LENID %d does not match the %d characters", lenid, body - 16))
    pinfo.cols.info = string.format("adr %02X %s, damaged", adr, what)
    return tvb:len()
  end
  if lenid > 0 then
    -- INFO's bytes, from its hex text, as a data source of their own.
    local info = ByteArray.new(tvb(14, lenid):string()):tvb("INFO")
    t:add(f.info, info())
  end
  local c1, c2 = hexbyte(tvb, 14 + lenid), hexbyte(tvb, 16 + lenid)
  if not (c1 and c2) then
    t:add_proto_expert_info(ef.malformed, "CHKSUM not hex")
    return tvb:len()
  end
  local total = 0
  for k = 2, 13 + lenid do total = total + tvb(k, 1):uint() end
  local want = (65536 - total % 65536) % 65536
  local chksum = c1 * 256 + c2
  local ct = t:add(f.chksum, tvb(14 + lenid, 4), chksum)
  local cok = ct:add(f.chksum_ok, tvb(14 + lenid, 4), chksum == want)
  cok:set_generated()
  if chksum ~= want then
    ct:add_proto_expert_info(ef.bad_chksum, string.format("CHKSUM %04X, the frame's sum gives %04X", chksum, want))
  end
  if ended then t:add(f.eoi, tvb(tvb:len() - 1, 1)) else t:add_proto_expert_info(ef.malformed, "no EOI") end
  pinfo.cols.info = string.format("adr %02X %s, INFO %d B%s", adr, what, lenid / 2,
                                  (chksum == want and lchk_ok) and "" or ", bad checksum")
  return tvb:len()
end

local encaps = wtap_encaps or wtap
DissectorTable.get("wtap_encap"):add(encaps.USER0, proto)
