-- Wireshark dissector for the VexaToken protocol over Bluetooth LE.
--
-- Load it with `wireshark -X lua_script:vexatoken.lua` (or `tshark -X ...`), or copy it into
-- Wireshark's personal Lua plugins folder (~/.local/lib/wireshark/plugins/).
--
-- It runs after the ATT dissector and picks the values of the token's two GATT characteristics
-- by their UUIDs, which Wireshark learns from the GATT discovery in the capture (vexatoken
-- --trace, btmon, an Android HCI snoop log). For a capture without the discovery, give the value
-- handles as preferences: -o vexatoken.write_handle:0x2a -o vexatoken.notify_handle:0x2d.
-- Each value is one frame: index, package length in the first frame, package bytes. Frames are
-- joined into packages; a plain package shows its command, length, payload fields, CRC check
-- and, in replies, the status text. Encrypted packages are shown as such; traces of
-- `vexatoken --trace` carry the plain text of each one in a record of its own on handle 0xFFF0
-- ("VXPT", direction byte 0 to the token or 1 from it, package), decoded like a plain package.

local vt = Proto("vexatoken", "VexaToken Protocol")

local WRITE_UUID = "563e28835c3a41da8e0215640ae703e6"
local NOTIFY_UUID = "5609a73412c249e99edd6eba3fdedc92"
local PLAIN_RECORD_HANDLE = 0xFFF0

vt.prefs.write_handle = Pref.uint("Write handle", 0, "ATT value handle of the write characteristic (0: by UUID)")
vt.prefs.notify_handle = Pref.uint("Notify handle", 0, "ATT value handle of the notify characteristic (0: by UUID)")

local commands = {
    [0x10] = "synDateTime", [0x15] = "sendAPDU", [0x20] = "getFirmwareVersion", [0x25] = "getHardwareVersion",
    [0x30] = "getSerial", [0x35] = "getBatteryLevel", [0x40] = "powerOff", [0x45] = "powerSecureElementOn",
    [0x50] = "powerSecureElementOff", [0x55] = "setCommunicationProtocol", [0x60] = "writeEnvironmentVariable",
    [0x65] = "syncSessionKey", [0x70] = "openFile", [0x75] = "closeFile", [0x80] = "readFile", [0x85] = "writeToFile",
    [0x90] = "removeFile", [0x95] = "openDir", [0xA0] = "getDirItem", [0xA5] = "selectStorage",
    [0xB0] = "readEnvironmentVariable",
}

local statuses = {
    [0] = "No error", "Command is not supported", "Error access to smart card", "Smart card was not initialized",
    "Transport protocol is incorrect established", "Unable to get battery level", "Unable to set time at device",
    "Unable to get serial number", "Invalid APDU", "Invalid message", "Invalid current session key",
    "Error operation at read/write file system", "Environment variable error", "Hardware version is not set",
}
local function status_text(s) return statuses[s] or "Unknown error" end

local f = {
    frame_index = ProtoField.uint8("vexatoken.frame.index", "Frame index"),
    frame_length = ProtoField.uint16("vexatoken.frame.package_length", "Package length"),
    frame_bytes = ProtoField.bytes("vexatoken.frame.bytes", "Package bytes"),
    frame_count = ProtoField.uint16("vexatoken.frames", "Frames"),
    package = ProtoField.bytes("vexatoken.package", "Package"),
    request = ProtoField.none("vexatoken.request", "Request"),
    reply = ProtoField.none("vexatoken.reply", "Reply"),
    direction = ProtoField.string("vexatoken.direction", "Direction"),
    decrypted = ProtoField.bool("vexatoken.decrypted", "Decrypted record"),
    command = ProtoField.uint8("vexatoken.command", "Command", base.HEX, commands),
    command_name = ProtoField.string("vexatoken.command_name", "Command name"),
    length = ProtoField.uint16("vexatoken.length", "Payload length"),
    payload = ProtoField.bytes("vexatoken.payload", "Payload"),
    crc = ProtoField.uint8("vexatoken.crc", "CRC", base.HEX),
    crc_status = ProtoField.string("vexatoken.crc.status", "CRC status"),
    filler = ProtoField.bytes("vexatoken.filler", "Cipher filler"),
    encrypted = ProtoField.uint16("vexatoken.encrypted_length", "Encrypted package length"),
    status = ProtoField.uint8("vexatoken.status", "Reply status"),
    status_text = ProtoField.string("vexatoken.status.text", "Reply status text"),
    time = ProtoField.uint32("vexatoken.time", "Time (seconds since 1970)"),
    apdu = ProtoField.bytes("vexatoken.apdu", "Command APDU"),
    response = ProtoField.bytes("vexatoken.response", "Response APDU"),
    sw = ProtoField.uint16("vexatoken.sw", "Status word", base.HEX),
    version = ProtoField.string("vexatoken.version", "Version"),
    serial = ProtoField.string("vexatoken.serial", "Serial number"),
    battery = ProtoField.uint8("vexatoken.battery", "Battery level"),
    atr = ProtoField.bytes("vexatoken.atr", "ATR"),
    protocol = ProtoField.uint8("vexatoken.protocol", "Protocol"),
    var_name = ProtoField.string("vexatoken.variable.name", "Variable name"),
    var_value = ProtoField.string("vexatoken.variable.value", "Variable value"),
    sync_hash = ProtoField.bytes("vexatoken.sync.hash", "Session-key hash"),
    sync_mode = ProtoField.uint8("vexatoken.sync.mode", "Key-synchronisation mode"),
    sync_host = ProtoField.string("vexatoken.sync.host", "Host name"),
    file_mode = ProtoField.uint8("vexatoken.file.mode", "Open mode"),
    file_path = ProtoField.string("vexatoken.file.path", "Path"),
    file_handle = ProtoField.uint8("vexatoken.file.handle", "File handle"),
    file_count = ProtoField.uint16("vexatoken.file.count", "Byte count"),
    file_data = ProtoField.bytes("vexatoken.file.data", "Data"),
    dir_size = ProtoField.string("vexatoken.dir.size", "File size"),
    dir_date = ProtoField.string("vexatoken.dir.date", "Created"),
    dir_attributes = ProtoField.string("vexatoken.dir.attributes", "Attributes"),
    dir_name = ProtoField.string("vexatoken.dir.name", "Name"),
    dir_end = ProtoField.bool("vexatoken.dir.end", "End of the listing"),
    storage = ProtoField.uint8("vexatoken.storage", "Storage"),
}
local ef = {
    frame = ProtoExpert.new("vexatoken.frame.error", "Frame error", expert.group.MALFORMED, expert.severity.ERROR),
    crc = ProtoExpert.new("vexatoken.crc.bad", "Bad CRC", expert.group.CHECKSUM, expert.severity.ERROR),
    length = ProtoExpert.new("vexatoken.length.bad", "Invalid package length", expert.group.MALFORMED, expert.severity.ERROR),
    status = ProtoExpert.new("vexatoken.status.error", "Reply status is an error", expert.group.RESPONSE_CODE, expert.severity.WARN),
}
local field_list = {}
for _, v in pairs(f) do field_list[#field_list + 1] = v end
vt.fields = field_list
vt.experts = { ef.frame, ef.crc, ef.length, ef.status }

local att_opcode = Field.new("btatt.opcode")
local att_handle = Field.new("btatt.handle")
local att_uuid = Field.new("btatt.uuid128")
local att_value = Field.new("btatt.value")
local acl_handle = Field.new("bthci_acl.chandle")

-- CRC-8/MAXIM-DOW: reflected polynomial 0x8C, initial value 0.
local crc_table = {}
for i = 0, 255 do
    local c = i
    for _ = 1, 8 do
        if bit32.band(c, 1) ~= 0 then c = bit32.bxor(bit32.rshift(c, 1), 0x8C) else c = bit32.rshift(c, 1) end
    end
    crc_table[i] = c
end
local function crc8(bytes, n)
    local c = 0
    for i = 0, n - 1 do c = crc_table[bit32.bxor(c, bytes:get_index(i))] end
    return c
end

-- Per-capture state, rebuilt on every first pass: joiners per connection and direction, the
-- last command per connection, and what each frame number showed.
local joiners, last_command, seen
function vt.init()
    joiners, last_command, seen = {}, {}, {}
end

-- Zero-terminated UTF-8 texts of a range, in order.
local function texts(range)
    local out, start = {}, 0
    for i = 0, range:len() - 1 do
        if range(i, 1):uint() == 0 then
            out[#out + 1] = { range(start, i - start + 1), range(start, i - start):string(ENC_UTF_8) }
            start = i + 1
        end
    end
    return out
end

local function add_texts(tree, range, fields)
    local parts = texts(range)
    for i, field in ipairs(fields) do
        if parts[i] then tree:add(field, parts[i][1], parts[i][2]) end
    end
    return parts
end

-- Request payload fields; returns a better name where the payload decides it.
local function dissect_request(code, p, tree)
    local n = p:len()
    if code == 0x10 and n >= 4 then
        local item = tree:add(f.time, p(0, 4))
        item:append_text(os.date("!  (%Y-%m-%d %H:%M:%S UTC)", p(0, 4):uint()))
    elseif code == 0x15 and n > 0 then tree:add(f.apdu, p)
    elseif code == 0x55 and n > 0 then tree:add(f.protocol, p(0, 1))
    elseif code == 0x60 then
        if #add_texts(tree, p, { f.var_name, f.var_value }) < 2 then return "removeEnvironmentVariable" end
    elseif code == 0xB0 and n > 0 then add_texts(tree, p, { f.var_name })
    elseif code == 0x65 then
        local fields, at = { f.sync_hash, f.sync_mode, f.sync_host }, 0
        for i = 1, 3 do
            if at + 2 > n then break end
            local len = p(at, 1):uint()
            if len < 1 or at + 1 + len > n then break end
            if len > 1 then
                local data = p(at + 2, len - 1)
                if i == 3 then tree:add(fields[i], data, data:string(ENC_UTF_8)) else tree:add(fields[i], data) end
            end
            at = at + 1 + len
        end
    elseif code == 0x70 and n > 0 then
        tree:add(f.file_mode, p(0, 1))
        if n > 1 then add_texts(tree, p(1), { f.file_path }) end
    elseif (code == 0x75 or code == 0x80 or code == 0x85) and n > 0 then
        tree:add(f.file_handle, p(0, 1))
        if n >= 3 then tree:add(f.file_count, p(1, 2)) end
        if code == 0x85 and n > 3 then tree:add(f.file_data, p(3)) end
    elseif (code == 0x90 or code == 0x95) and n > 0 then add_texts(tree, p, { f.file_path })
    elseif code == 0xA5 and n > 0 then tree:add(f.storage, p(0, 1))
    end
end

local function dissect_reply(code, p, tree)
    local n = p:len()
    if n == 0 then return end
    local status = p(0, 1):uint()
    tree:add(f.status, p(0, 1))
    local text_item = tree:add(f.status_text, p(0, 1), status_text(status))
    if status ~= 0 then
        text_item:add_proto_expert_info(ef.status, status_text(status))
        return
    end
    if n < 2 then
        if code == 0xA0 then tree:add(f.dir_end, p(0, 1), true) end
        return
    end
    local r = p(1)
    if code == 0x15 then
        tree:add(f.response, r)
        if r:len() >= 2 then tree:add(f.sw, r(r:len() - 2, 2)) end
    elseif code == 0x20 or code == 0x25 then tree:add(f.version, r(0, 1), string.format("%02x", r(0, 1):uint()))
    elseif code == 0x30 then tree:add(f.serial, r, r:string())
    elseif code == 0x35 then tree:add(f.battery, r(0, 1))
    elseif code == 0x45 then tree:add(f.atr, r)
    elseif code == 0x70 then tree:add(f.file_handle, r(0, 1))
    elseif code == 0x80 then tree:add(f.file_data, r)
    elseif code == 0xB0 then add_texts(tree, r, { f.var_value })
    elseif code == 0xA0 then
        if #add_texts(tree, r, { f.dir_size, f.dir_date, f.dir_attributes, f.dir_name }) < 4 then tree:add(f.dir_end, r, true) end
    end
end

-- One whole package. `state` holds what the first pass decided for this frame number.
local function dissect_package(tvb, pinfo, tree, to_token, state, decrypted)
    local total = tvb:len()
    local t = tree:add(f.package, tvb())
    t:add(f.direction, tvb(0, 0), to_token and "host to token" or "token to host")
    if decrypted then t:add(f.decrypted, tvb(0, 0), true) end
    local n = total >= 3 and tvb(1, 2):le_uint() or nil
    local good = n and total >= n + 4 and crc8(tvb:bytes(), n + 3) == tvb(n + 3, 1):uint()
    if not good then
        if not decrypted and total % 16 == 0 then
            t:add(f.encrypted, tvb(), total):append_text(" (encrypted)")
            pinfo.cols.info:append(" [VexaToken encrypted package]")
        elseif not n or total < n + 4 then
            t:add_proto_expert_info(ef.length, "Invalid lenght of package")
        else
            t:add(f.crc, tvb(n + 3, 1)):add_proto_expert_info(ef.crc, "Invalid crc of package")
            t:add(f.crc_status, tvb(n + 3, 1), "Bad")
        end
        return
    end
    local code = tvb(0, 1):uint()
    if not to_token then
        -- A reply is read as the answer to the command written last.
        if state.answers == nil then state.answers = last_command[state.link] or code end
        code = state.answers
    end
    local name = commands[code] or string.format("command 0x%02X", code)
    t:add(f.command, tvb(0, 1), code)
    t:add(f.length, tvb(1, 2), n)
    local payload = tvb(3, n)
    if n > 0 then t:add(f.payload, payload) end
    local fields = t:add(to_token and f.request or f.reply, payload)
    if n > 0 then
        if to_token then name = dissect_request(code, payload, fields) or name else dissect_reply(code, payload, fields) end
    end
    t:add(f.command_name, tvb(0, 1), name)
    t:add(f.crc, tvb(n + 3, 1))
    t:add(f.crc_status, tvb(n + 3, 1), "Good")
    if total > n + 4 then t:add(f.filler, tvb(n + 4)) end
    t:set_text("VexaToken package: " .. name .. (to_token and "" or " reply"))
    pinfo.cols.info:append(" [VexaToken " .. name .. (to_token and "]" or " reply]"))
    if to_token and not pinfo.visited then last_command[state.link] = code end
end

local function link_of()
    local h = acl_handle()
    return h and h.value or 0
end

-- One frame on the write or notify characteristic.
local function dissect_frame(tvb, pinfo, tree, to_token)
    local state = seen[pinfo.number]
    if not state then
        state = { link = link_of() }
        seen[pinfo.number] = state
        local key = state.link .. (to_token and ">" or "<")
        local j = joiners[key]
        local index = tvb:len() > 0 and tvb(0, 1):uint() or nil
        if index == 0 then
            if tvb:len() < 3 then
                state.error, j = "An invalid lenght of package.", { broken = true }
            else
                j = { buf = ByteArray.new(), want = tvb(1, 2):le_uint(), last = 0, count = 1 }
                if tvb:len() > 3 then j.buf:append(tvb(3):bytes()) end
            end
        elseif index and j and not j.broken and index == j.last + 1 then
            j.last, j.count = index, j.count + 1
            if tvb:len() > 1 then j.buf:append(tvb(1):bytes()) end
        elseif index and not (j and j.broken) then
            state.error, j = "An invalid index of frame in package.", { broken = true }
        end
        if j and not j.broken then
            if j.buf:len() == j.want then
                state.package, state.frames, j = j.buf, j.count, nil
            elseif j.buf:len() > j.want then
                state.error, j = "An invalid lenght of package.", { broken = true }
            end
        end
        joiners[key] = j
    end

    local t = tree:add(vt, tvb(), "VexaToken frame")
    if tvb:len() == 0 then return end
    t:add(f.frame_index, tvb(0, 1))
    if tvb(0, 1):uint() == 0 and tvb:len() >= 3 then
        t:add_le(f.frame_length, tvb(1, 2))
        if tvb:len() > 3 then t:add(f.frame_bytes, tvb(3)) end
    elseif tvb:len() > 1 then
        t:add(f.frame_bytes, tvb(1))
    end
    if state.error then
        t:add_proto_expert_info(ef.frame, state.error)
        pinfo.cols.info:append(" [VexaToken frame error]")
    elseif state.package then
        t:add(f.frame_count, tvb(0, 0), state.frames)
        if state.package:len() == 0 then
            t:add_proto_expert_info(ef.length, "Invalid lenght of package")
        else
            dissect_package(state.package:tvb("VexaToken package"), pinfo, t, to_token, state, false)
        end
    end
end

-- A plain-text record of a trace: "VXPT", direction, package.
local function dissect_record(tvb, pinfo, tree)
    local state = seen[pinfo.number]
    if not state then
        state = { link = link_of() }
        seen[pinfo.number] = state
    end
    local t = tree:add(vt, tvb(), "VexaToken decrypted record")
    dissect_package(tvb(5):tvb(), pinfo, t, tvb(4, 1):uint() == 0, state, true)
end

-- After ATT: Write Request/Command values of the write characteristic, notifications and
-- indications of the notify characteristic, and the plain-text records.
function vt.dissector(_, pinfo, tree)
    local op, handle, value = att_opcode(), att_handle(), att_value()
    if not (op and handle and value) then return end
    op, handle = op.value, handle.value
    local tvb = value.range:tvb()
    local uuid = att_uuid()
    uuid = uuid and tostring(uuid.value):lower() or ""
    local to_token = op == 0x12 or op == 0x52
    local from_token = op == 0x1B or op == 0x1D
    if handle == PLAIN_RECORD_HANDLE and (to_token or from_token) then
        if tvb:len() < 9 or tvb(0, 4):string() ~= "VXPT" then return end
        pinfo.cols.protocol:set("VexaToken")
        dissect_record(tvb, pinfo, tree)
    elseif (to_token and (handle == vt.prefs.write_handle or uuid == WRITE_UUID))
        or (from_token and (handle == vt.prefs.notify_handle or uuid == NOTIFY_UUID)) then
        pinfo.cols.protocol:set("VexaToken")
        dissect_frame(tvb, pinfo, tree, to_token)
    end
end

register_postdissector(vt)
