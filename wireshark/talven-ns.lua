-- talven-ns.lua - Wireshark and tshark dissector for the Talven name service.
--
-- Deciphers and shows every record of the name-service protocol:
--   * UDP on the name-service port (16024 unless the "port" preference says
--     otherwise, or "Decode As"): discovery, census and the NS_MASTER /
--     NS_BACKUP replies, one record per datagram;
--   * TCP to and from that port: frames (one length byte, then that many
--     bytes of ciphertext), reassembled across segments and several to a
--     segment, requests matched with their replies;
--   * name list streams on the connection that a name server opens back to
--     the port an NS_NAMELIST request announced (or a port of the
--     "list_ports" preference).
-- A record is a 24-byte salt masked with K0, then the record masked with the
-- message key (the salt repeated, mixed with K1).  The key tables come from
-- the same data file the build compiles in (two-digit hex bytes, '#'
-- comments, K0 then K1, 152 bytes), named by the "key_file" preference.
--
-- The dissector must never raise a Lua error, whatever the packets hold:
-- every access is bounded by the bytes actually present, and the entry
-- points run under pcall so that a fault in here shows up as an expert item
-- instead of breaking the dissection of the packet.
--
-- Load it with `tshark -X lua_script:PATH` or by putting it (or a link to
-- it) into the personal plugins folder, ~/.local/lib/wireshark/plugins.

local SALT = 24            -- bytes of masked salt in front of every record
local HEADER = 16          -- bytes of record header
local MAX_FRAME = 256      -- receivers read at most this much of a datagram
local DEFAULT_PORT = 16024

local NS_NAMELIST, NS_LISTHEAD, NS_OK, NS_LISTEND = 4, 8, 32, 34

local TYPE_NAMES = {
    [1] = "NS_REGISTER", [2] = "NS_UNREGISTER", [3] = "NS_LOOKUP",
    [4] = "NS_NAMELIST", [6] = "NS_FINDANY", [7] = "NS_MASTER",
    [8] = "NS_LISTHEAD", [9] = "NS_FINDMASTER", [10] = "NS_PCREGISTER",
    [11] = "NS_PCUNREGISTER", [13] = "NS_CONTROL", [14] = "NS_BACKUP",
    [15] = "NS_ADMINHOST", [16] = "NS_CENSUS", [32] = "NS_OK",
    -- the stand-in name server's refusal; any reply but NS_OK refuses
    [33] = "NS_REFUSED",
    [34] = "NS_LISTEND",
}

local sbyte, ssub, srep, sformat = string.byte, string.sub, string.rep, string.format
local tconcat, unpack = table.concat, table.unpack or unpack
local bxor = bit32 and bit32.bxor or bit.bxor

local proto = Proto("talvenns", "Talven Name Service")

-- The methods called for every record, taken once: a call through the
-- object (tree:add) first asks the object's class for the method by name.
local tree_add, add_expert = TreeItem.add, TreeItem.add_proto_expert_info
local append_text, set_generated = TreeItem.append_text, TreeItem.set_generated
local trange, new_bytes, bytes_tvb = Tvb.range, ByteArray.new, ByteArray.tvb
local new_nstime, floor = NSTime.new, math.floor

-- --- fields ------------------------------------------------------------------
local f = {
    frame_len   = ProtoField.uint8("talvenns.frame_len", "Frame length", base.DEC,
                                   nil, nil, "The frame's length byte: bytes of ciphertext that follow"),
    salt        = ProtoField.bytes("talvenns.salt", "Salt", base.NONE,
                                   "The record's 24 random bytes, unmasked"),
    record_len  = ProtoField.uint16("talvenns.record_len", "Record length", base.DEC,
                                    nil, nil, "Bytes of deciphered record"),
    type        = ProtoField.uint8("talvenns.type", "Type", base.DEC, TYPE_NAMES),
    option      = ProtoField.uint8("talvenns.option", "Option", base.DEC, nil, nil,
                                   "Lookup mode, registration type or list selector"),
    control     = ProtoField.uint16("talvenns.control", "Control", base.DEC, nil, nil,
                                    "Control code of an NS_CONTROL request"),
    level       = ProtoField.char("talvenns.level", "Level", base.OCT, nil, nil,
                                  "Registration level, as a character ('0' + level)"),
    name_off    = ProtoField.uint8("talvenns.name_offset", "Name offset", base.DEC),
    addr_off    = ProtoField.uint8("talvenns.addr_offset", "Address offset", base.DEC),
    text_off    = ProtoField.uint8("talvenns.text_offset", "Text offset", base.DEC),
    name_len    = ProtoField.uint8("talvenns.name_len", "Name length", base.DEC),
    name        = ProtoField.string("talvenns.name", "Name"),
    addr_len    = ProtoField.uint8("talvenns.addr_len", "Address length", base.DEC),
    addr        = ProtoField.string("talvenns.addr", "Address", base.ASCII,
                                    "The address as the tools print it: a.b.c.d (port)"),
    port        = ProtoField.uint16("talvenns.port", "Port", base.DEC),
    ip          = ProtoField.ipv4("talvenns.ip", "IPv4 address"),
    text_len    = ProtoField.uint8("talvenns.text_len", "Text length", base.DEC),
    text        = ProtoField.string("talvenns.text", "Text"),
    request_in  = ProtoField.framenum("talvenns.request_in", "Request in", base.NONE,
                                      frametype.REQUEST, nil, "The frame of the request this reply answers"),
    response_in = ProtoField.framenum("talvenns.response_in", "Response in", base.NONE,
                                      frametype.RESPONSE, nil, "The frame of the reply to this request"),
    time        = ProtoField.relative_time("talvenns.time", "Time since request",
                                           "Time between the request and this reply"),
    list_req    = ProtoField.framenum("talvenns.list_request_in", "Name list requested in",
                                      base.NONE, frametype.REQUEST, nil,
                                      "The NS_NAMELIST request that announced this stream's port"),
}
proto.fields = {
    f.frame_len, f.salt, f.record_len, f.type, f.option, f.control, f.level,
    f.name_off, f.addr_off, f.text_off, f.name_len, f.name, f.addr_len, f.addr,
    f.port, f.ip, f.text_len, f.text, f.request_in, f.response_in,
    f.time, f.list_req,
}

-- --- expert information --------------------------------------------------------
local GROUP, LEVEL = expert.group, expert.severity
-- each: the name in ex, the field under talvenns., its text, and its group
-- and severity when they are not "malformed" and "warning"
local EXPERTS = {
    {"short_frame",  "short_frame",   "Frame under 25 bytes: no record"},
    {"short_header", "short_header",  "Record shorter than its 16-byte header"},
    {"offset_range", "offset_range",  "Offset above 127"},
    {"length_range", "length_range",  "Item length above 127"},
    {"past_end",     "past_end",      "Item reaches past the received bytes"},
    {"addr_len",     "addr_len_bad",  "Address item length is not 16"},
    {"no_nul",       "no_nul",        "String item without its NUL"},
    {"unknown_type", "unknown_type",  "Unknown type code", GROUP.PROTOCOL},
    {"frame_cut",    "frame_cut",     "Frame continues past the bytes at hand"},
    {"long_dgram",   "long_datagram", "Datagram over 256 bytes: receivers read only the first 256"},
    {"list_order",   "list_order",    "Name list stream out of order", GROUP.SEQUENCE},
    {"refused",      "refused",       "Request refused", GROUP.RESPONSE_CODE, LEVEL.NOTE},
    {"keys",         "keys",          "Key tables unusable: records not deciphered", GROUP.UNDECODED},
    {"internal",     "internal",      "Dissector fault", GROUP.UNDECODED, LEVEL.ERROR},
}
local ex, expert_list = {}, {}
for i, e in ipairs(EXPERTS) do
    ex[e[1]] = ProtoExpert.new("talvenns." .. e[2], e[3], e[4] or GROUP.MALFORMED, e[5] or LEVEL.WARN)
    expert_list[i] = ex[e[1]]
end
proto.experts = expert_list

-- --- preferences -----------------------------------------------------------------
-- The default key file: the one installed next to this script
-- (share/talven-ns/authcryp.keys), the source tree's, or a system one.
local function script_dir()
    local ok, source = pcall(function() return debug.getinfo(1, "S").source end)
    if ok and type(source) == "string" and ssub(source, 1, 1) == "@" then
        return source:sub(2):match("^(.*)/[^/]*$") or "."
    end
    return nil
end

local function file_exists(path)
    local fh = io.open(path, "rb")
    if fh then fh:close() return true end
    return false
end

-- The installed key tables, written in here when the script is installed,
-- so that a copy of the script or a link to it in the plugins folder finds
-- them as well; empty in the source tree.
local INSTALLED_KEY_FILE = ""

local function default_key_file()
    local candidates = {}
    if INSTALLED_KEY_FILE ~= "" then candidates[1] = INSTALLED_KEY_FILE end
    local dir = script_dir()
    if dir then
        candidates[#candidates + 1] = dir .. "/../authcryp.keys"            -- installed
        candidates[#candidates + 1] = dir .. "/../rsockmap/authcryp.keys"   -- source tree
    end
    candidates[#candidates + 1] = "/usr/local/share/talven-ns/authcryp.keys"
    candidates[#candidates + 1] = "/usr/share/talven-ns/authcryp.keys"
    for _, c in ipairs(candidates) do
        if file_exists(c) then return c end
    end
    return candidates[1]
end

proto.prefs.port = Pref.uint("Name service port", DEFAULT_PORT,
    "UDP and TCP port of the name servers (the configured TALVEN_NAMESVC port)")
proto.prefs.key_file = Pref.string("Key tables file", default_key_file(),
    "Data file with the key tables: two-digit hex bytes, '#' comment lines, K0 (24) then K1 (128)")
proto.prefs.list_ports = Pref.range("Name list ports", "",
    "TCP ports on which clients receive name list streams, besides those that NS_NAMELIST requests in the capture announce",
    65535)
proto.prefs.reassemble = Pref.bool("Reassemble frames split over TCP segments", true,
    "Needs the TCP preference \"Allow subdissector to reassemble TCP streams\"")

-- --- key tables and the cipher -------------------------------------------------------
-- Byte j of a record (counted from 1) is masked with byte (j - 1) % 128 of
-- the message key, which is salt byte (j - 1) % 128 % 24 mixed with K1.  The
-- salt travels masked with K0, so with the masked salt c (counted from 1)
-- the key byte is c[SALT_POS[j]] ~ mix[j], where
-- mix[j] = K0[SALT_POS[j]] ~ K1[(j - 1) % 128 + 1].
local SALT_POS = {}
for j = 1, MAX_FRAME do SALT_POS[j] = (j - 1) % 128 % SALT + 1 end

local function key_mix(k0, k1)
    local mix = {}
    for j = 1, MAX_FRAME do mix[j] = bxor(k0[SALT_POS[j]], k1[(j - 1) % 128 + 1]) end
    return mix
end

-- Deciphering works on 32-bit words, four bytes to one call of bxor: in Lua
-- every call costs, and bytes one by one would make deciphering the bulk
-- of the dissector's time.  The periods of the key (128 bytes) and of the
-- salt (24 bytes) are whole words, so word g of a record (counted from 1)
-- is masked with salt word SALT_WORD[g] (of the six the masked salt makes)
-- and with mix word g.
local WORDS = MAX_FRAME / 4
local SALT_WORD, WORD_FORMAT = {}, {}
for g = 1, WORDS do
    SALT_WORD[g] = (g - 1) % 32 % 6 + 1
    WORD_FORMAT[g] = ">" .. srep("I4", g)
end
local PAD = { [0] = "", "\0\0\0", "\0\0", "\0" }
local spack, sunpack = Struct.pack, Struct.unpack

local function mix_words(mix)
    local words = {}
    for g = 1, WORDS do
        local j = 4 * g - 3
        words[g] = ((mix[j] * 256 + mix[j + 1]) * 256 + mix[j + 2]) * 256 + mix[j + 3]
    end
    return words
end

-- Reads a key data file.  Returns a table { k0_words = {6}, mix_words =
-- {64} } (K0 and mix as 32-bit words), or nil and the reason.
local function parse_key_file(path)
    if type(path) ~= "string" or path == "" then
        return nil, "no key tables file is set (preference talvenns.key_file)"
    end
    local fh, err = io.open(path, "rb")
    if not fh then return nil, "cannot open " .. tostring(err) end
    local data, read_err = fh:read(65536)     -- nil and no reason: the file is empty
    local more = data and fh:read(1)
    fh:close()
    if not data and read_err then return nil, "cannot read " .. path .. ": " .. tostring(read_err) end
    data = data or ""
    if more then return nil, path .. ": too large for a key tables file" end
    local bytes, lineno = {}, 0
    for line in (data .. "\n"):gmatch("([^\n]*)\n") do
        lineno = lineno + 1
        if ssub(line, 1, 1) ~= "#" then
            for word in line:gmatch("%S+") do
                if not word:match("^%x%x$") then
                    return nil, sformat("%s:%d: '%s' is not a two-digit hex byte",
                                        path, lineno, word:sub(1, 20))
                end
                bytes[#bytes + 1] = tonumber(word, 16)
            end
        end
    end
    if #bytes ~= 152 then
        return nil, sformat("%s: holds %d bytes; the key tables need exactly 152 (K0: 24, then K1: 128)",
                            path, #bytes)
    end
    local k0, k1 = { unpack(bytes, 1, SALT) }, { unpack(bytes, SALT + 1, 152) }
    local k0_words = { sunpack(">I4I4I4I4I4I4", string.char(unpack(k0))) }
    return { k0_words = k0_words, mix_words = mix_words(key_mix(k0, k1)) }
end

local keys, keys_error, keys_path = nil, nil, nil

local function load_keys(path)
    if path == keys_path and (keys or keys_error) then return end
    keys_path = path
    keys, keys_error = parse_key_file(path)
end

-- Deciphers the n record bytes (0 < n <= 232) behind the salt that starts
-- at position p of the string raw, and returns them as a string.
local SW = {}
local function decipher(raw, p, n)
    local mix = keys.mix_words
    SW[1], SW[2], SW[3], SW[4], SW[5], SW[6] = sunpack(">I4I4I4I4I4I4", raw, p)
    local words = (n + 3 - (n + 3) % 4) / 4
    local w = { sunpack(WORD_FORMAT[words], ssub(raw, p + SALT, p + SALT + n - 1) .. PAD[n % 4]) }
    for g = 1, words do w[g] = bxor(w[g], SW[SALT_WORD[g]], mix[g]) end
    return ssub(spack(WORD_FORMAT[words], unpack(w, 1, words)), 1, n)
end

-- The salt of the record last deciphered, unmasked, as a string.
local function unmasked_salt()
    local k0 = keys.k0_words
    return spack(">I4I4I4I4I4I4", bxor(SW[1], k0[1]), bxor(SW[2], k0[2]), bxor(SW[3], k0[3]),
                 bxor(SW[4], k0[4]), bxor(SW[5], k0[5]), bxor(SW[6], k0[6]))
end

-- --- state across packets ---------------------------------------------------------
-- Filled while the packets are first seen (not pinfo.visited), read on
-- every later pass.  Records are told apart by their masked salt, random
-- for each record (a peer that sends the very same bytes twice gets the
-- second copy taken for the first).  A client sends one request per
-- connection, so a connection has at most one request waiting for its
-- reply; a later request of the same client replaces it (the client's port
-- has been reused).  Clients on two hosts may use the same port at once:
-- their requests wait side by side, and a reply takes the one of the host
-- it goes to.
local waiting = {}      -- connection -> { frame, time, key, client address,
                        -- the next request waiting on the same ports or nil }
local answers = {}      -- reply record key -> frame of its request, or false
local answer_ts = {}    -- reply record key -> time of its request
local answered = {}     -- request record key -> reply frame
local requests_seen = {}
local list_ports = {}   -- port -> frame of the NS_NAMELIST request that last announced it
local list_open = {}    -- connection -> a list head came and no end yet
local list_note = {}    -- list record key -> what is wrong with its place, or false
local list_req_of = {}  -- list record key -> frame of the request that announced its port
local registered = {}   -- port -> the tcp.port entry it had before this
                        -- script claimed it for name lists (or false)

local udp_table = DissectorTable.get("udp.port")
local tcp_table = DissectorTable.get("tcp.port")
local current_port = nil
local pref_list_ports = {}
local pref_reassemble = true

local function parse_range(text)
    local set = {}
    if type(text) ~= "string" then return set end
    for part in text:gmatch("[^,%s]+") do
        local a, b = part:match("^(%d+)%-(%d+)$")
        a = tonumber(a or part:match("^(%d+)$"))
        b = tonumber(b) or a
        if a and b and a <= b and b <= 65535 and b - a < 65536 then
            for port = a, b do set[port] = true end
        end
    end
    return set
end

local function register_list_port(port)
    if port > 0 and registered[port] == nil and port ~= current_port then
        registered[port] = tcp_table:get_dissector(port) or false
        tcp_table:add(port, proto)
    end
end

local function apply_prefs()
    local port = proto.prefs.port
    if port ~= current_port then
        if current_port then
            udp_table:remove(current_port, proto)
            tcp_table:remove(current_port, proto)
        end
        current_port = port
        udp_table:add(port, proto)
        tcp_table:add(port, proto)
    end
    pref_list_ports = parse_range(proto.prefs.list_ports)
    for port in pairs(pref_list_ports) do register_list_port(port) end
    pref_reassemble = proto.prefs.reassemble
    load_keys(proto.prefs.key_file)
end

function proto.prefs_changed()
    pcall(apply_prefs)
end

function proto.init()
    waiting, answers, answer_ts, answered, requests_seen = {}, {}, {}, {}, {}
    list_ports, list_open, list_note, list_req_of = {}, {}, {}, {}
    keys_path = nil                 -- read the key file afresh
    pcall(apply_prefs)
    -- a new capture: give the previous one's name list ports back
    for port, before in pairs(registered) do
        if not pref_list_ports[port] then
            pcall(tcp_table.remove, tcp_table, port, proto)
            if before then pcall(tcp_table.add, tcp_table, port, before) end
            registered[port] = nil
        end
    end
end

-- --- one record ----------------------------------------------------------------------
-- What of the tree to build.  A visible tree (Wireshark's details pane,
-- tshark -V) gets everything; otherwise only the fields that a filter or a
-- -T fields column refers to, since every item costs time.
-- W.top: the protocol's item; W.fields: some field; W[key]: that field.
local ALL = { top = true, fields = true }
local NONE = {}
local field_keys = {}
for k in pairs(f) do
    field_keys[#field_keys + 1] = k
    ALL[k] = true
end
local handle = nil      -- this protocol's dissector handle, once registered
local referenced = nil  -- TreeItem.referenced

-- tshark -T fields marks the tree visible, as -V does, though it prints
-- only the -e fields: asked, the tree says every field is wanted, and the
-- records would be dissected as for -V, several times the cost of the
-- packet summary.  So the command line is read once: when it is tshark's
-- with -T fields, the tree holds only the fields of this protocol that the
-- -e fields and the filters name (none at all, most often).  Anything not
-- understood (a custom column, a statistic, a filter macro, a name that is
-- not a field here) keeps the whole tree.
local STANDARD_COLUMNS = {
    ["_ws.col.No."] = true, ["_ws.col.Time"] = true, ["_ws.col.Source"] = true,
    ["_ws.col.Destination"] = true, ["_ws.col.Protocol"] = true,
    ["_ws.col.Length"] = true, ["_ws.col.Info"] = true,
}
-- tshark's options that take a value (the value may follow glued on)
local WITH_VALUE = {}
for c in ("aABbcCdDeEfFgHiIjJKlLmMoOrRsStTwWXyYz"):gmatch(".") do WITH_VALUE[c] = true end
-- field name -> key in f; the names that are not "talvenns." .. key
local FIELD_KEY = {}
do
    local names = { name_off = "name_offset", addr_off = "addr_offset",
                    text_off = "text_offset", list_req = "list_request_in" }
    for k in pairs(f) do FIELD_KEY["talvenns." .. (names[k] or k)] = k end
end

-- The tree wanted for tshark's command line args, or nil for the whole
-- tree.  w collects what the names in text ask for; false: not understood.
local function name_fields(text, w, whole_name)
    if text:find("_ws.", 1, true) or text:find("$", 1, true) then return false end
    for name in text:gmatch("talvenns[%w_.]*") do
        if name == "talvenns" and not whole_name then
            w.top = true
        else
            local k = FIELD_KEY[name]
            if not k then return false end
            w.top, w.fields, w[k] = true, true, true
        end
    end
    return true
end

local function fields_wanted(args)
    if not args[1] or not args[1]:match("tshark$") then return nil end
    local fields, i, w = false, 2, {}
    while i <= #args do
        local a, value, letter = args[i], nil, nil
        if ssub(a, 1, 1) == "-" and ssub(a, 2, 2) ~= "-" and #a >= 2 then
            letter = ssub(a, 2, 2)
            if WITH_VALUE[letter] then
                if #a > 2 then value = ssub(a, 3) else i = i + 1; value = args[i] or "" end
            elseif a:find("[Vx]") then
                return nil              -- the tree or the bytes are printed
            end
        elseif a:find("talvenns", 1, true) then
            return nil
        end
        if letter == "T" then
            if value ~= "fields" then return nil end
            fields = true
        elseif letter == "e" then
            if ssub(value, 1, 4) == "_ws." then
                if not STANDARD_COLUMNS[value] then return nil end
            elseif not name_fields(value, w, true) then
                return nil
            end
        elseif letter == "Y" or letter == "R" then
            if not name_fields(value, w, false) then return nil end
        elseif letter == "o" then
            if value:find("column", 1, true) then return nil end
        elseif letter == "O" or letter == "z" or letter == "j" or letter == "J" then
            return nil
        end
        i = i + 1
    end
    if not fields then return nil end
    return next(w) and w or NONE
end

local function command_line()
    local fh = io.open("/proc/self/cmdline", "rb")
    if not fh then return {} end
    local data = fh:read(1048576) or ""
    fh:close()
    local args = {}
    for a in data:gmatch("([^%z]*)%z") do args[#args + 1] = a end
    return args
end

-- what tshark -T fields wants of the tree, or nil
local fields_tree = nil
do
    local ok, w = pcall(function() return fields_wanted(command_line()) end)
    if ok then fields_tree = w end
end

local function wanted(tree)
    -- A visible tree counts as referring to everything, and a filter on
    -- any field refers to the protocol as well: one question settles the
    -- common case of a tree that nobody looks at.
    referenced = referenced or tree.referenced
    if not handle or not referenced(tree, handle) then return NONE end
    if tree.visible then return fields_tree or ALL end
    local w = { top = true }
    for _, k in ipairs(field_keys) do
        if referenced(tree, f[k]) then
            w.fields = true
            w[k] = true
        end
    end
    return w
end

-- printaddr: "a.b.c.d (port)" of the first take (at most 16) bytes of an
-- address whose first byte is plain[pos], the missing bytes taken as zero.
local function printaddr(plain, pos, take)
    local _, _, p1, p2, a1, a2, a3, a4 = sbyte(plain, pos, pos + (take < 8 and take or 8) - 1)
    return sformat("%d.%d.%d.%d (%d)", a1 or 0, a2 or 0, a3 or 0, a4 or 0,
                   (p1 or 0) * 256 + (p2 or 0))
end

local ITEM = {
    name = { label = "Name", len = "name_len", value = "name" },
    addr = { label = "Address", len = "addr_len", value = "addr" },
    text = { label = "Text", len = "text_len", value = "text" },
}

-- The record being dissected: its deciphered bytes (plain, n of them), the
-- data source they are shown from (dtvb, when fields are wanted), the
-- protocol item (top) and the type's item (type_item, when shown).
local R = { plain = "", n = 0, dtvb = nil, top = nil, type_item = nil, W = NONE }

-- Decodes the item of one kind at offset off into the tree as far as R.W
-- asks; anchor carries the warnings when the item itself is not shown.
-- Returns the item's text for the Info column, or nil.
local function add_item(kind, off, anchor)
    if off == 0 then return nil end
    local d = ITEM[kind]
    local W, n, plain = R.W, R.n, R.plain
    if off > 127 then
        add_expert(anchor, ex.offset_range,
            sformat("%s offset %d is above 127 (read as %d)", d.label, off, off - 256))
        return nil
    end
    if off >= n then
        add_expert(anchor, ex.past_end,
            sformat("%s item at %d lies past the record's %d bytes", d.label, off, n))
        return nil
    end
    local ilen = sbyte(plain, off + 1)
    local avail = n - off - 1
    local take = ilen < avail and ilen or avail
    local base = SALT + off        -- the item's length byte in the deciphered frame
    local dtvb, top = R.dtvb, R.top
    -- In a full tree the item's value heads a subtree that holds the rest.
    local sub, value_item = top, nil
    local text
    if kind == "addr" then
        text = printaddr(plain, off + 2, take < 16 and take or 16)
    else
        -- the client sees the characters up to the first NUL
        text = ssub(plain, off + 2, off + 1 + take)
        local cut = text:find("\0", 1, true)
        if cut then text = ssub(text, 1, cut - 1) end
    end
    if W[d.value] then
        value_item = tree_add(top, f[d.value],
                              take > 0 and trange(dtvb, base + 1, take) or trange(dtvb, base, 1), text)
        if W == ALL then sub = value_item end
    end
    local len_item = anchor
    if W[d.len] then len_item = tree_add(sub, f[d.len], trange(dtvb, base, 1)) end
    if ilen > 127 then
        add_expert(len_item, ex.length_range,
            sformat("%s item length %d is above 127 (read as %d)", d.label, ilen, ilen - 256))
    end
    if take < ilen then
        add_expert(len_item, ex.past_end,
            sformat("%s item claims %d bytes, %d received", d.label, ilen, take))
    end
    if kind == "addr" then
        if ilen ~= 16 then
            add_expert(len_item, ex.addr_len,
                sformat("Address item length is %d, not 16", ilen))
        end
        if take >= 4 and W.port then tree_add(sub, f.port, trange(dtvb, base + 3, 2)) end
        if take >= 8 and W.ip then tree_add(sub, f.ip, trange(dtvb, base + 5, 4)) end
    elseif take == ilen then
        local nul = off + ilen + 2             -- where the NUL belongs
        if nul > n or sbyte(plain, nul) ~= 0 then
            local anchor_nul = value_item or anchor
            add_expert(anchor_nul, ex.no_nul, d.label .. " item without its NUL")
        end
    end
    if kind == "text" then return "'" .. text .. "'" end
    return text
end

-- Context of the frames being dissected, set by the dissector before it
-- hands them to dissect_record.  conn names a TCP connection by its ports,
-- client first (client port * 65536 + server port): a client's port is its
-- own for as long as the connection lasts (on its host: see waiting).
local ctx = { role = nil, conn = 0, list_req = nil, W = NONE, number = 0 }

local ROLE_LABEL = { request = "Request ", reply = "Reply " }
local LIST_LABEL = { [NS_LISTHEAD] = "List head", [NS_LISTEND] = "List end" }

-- Matches a reply with the request of its connection, and learns the ports
-- that name list requests announce.  key tells the record apart from all
-- others (see above).
local function track_exchange(pinfo, key, rtype, addr_off)
    local top, W = R.top, R.W
    local visited = pinfo.visited
    if ctx.role == "request" then
        if not visited and not requests_seen[key] then
            requests_seen[key] = true
            -- an earlier request of this client on these ports was never
            -- answered (the port has been reused): forget that request;
            -- beyond a few hosts, the oldest requests are forgotten
            local src, rest = pinfo.src, waiting[ctx.conn]
            local prev, r, count = nil, rest, 1
            while r and r[4] ~= src do
                if count == 8 then prev[5], r = nil, nil break end
                prev, r, count = r, r[5], count + 1
            end
            if r then
                if prev then prev[5] = r[5] else rest = r[5] end
            end
            waiting[ctx.conn] = { ctx.number, pinfo.abs_ts, key, src, rest }
        end
        if answered[key] and W.response_in then
            set_generated(tree_add(top, f.response_in, answered[key]))
        end
        -- a name list request announces the port of its stream
        local a = addr_off
        if rtype == NS_NAMELIST and a > 0 and a < 128 and a + 5 <= R.n and not visited then
            local hi, lo = sbyte(R.plain, a + 4, a + 5)
            local port = hi * 256 + lo
            if not list_ports[port] then register_list_port(port) end
            -- a client takes the same port again for its next list
            list_ports[port] = ctx.number
        end
        return
    end
    if not visited and answers[key] == nil then
        local prev, req = nil, waiting[ctx.conn]
        if req and req[5] then      -- clients of several hosts wait on these ports
            local dst = pinfo.dst
            while req and req[4] ~= dst do prev, req = req, req[5] end
        end
        if req then
            answers[key], answer_ts[key] = req[1], req[2]
            answered[req[3]] = ctx.number
            if prev then prev[5] = req[5] else waiting[ctx.conn] = req[5] end
        else
            answers[key] = false
        end
    end
    local req = answers[key]
    if req then
        if W.request_in then set_generated(tree_add(top, f.request_in, req)) end
        if W.time then
            local d = pinfo.abs_ts - answer_ts[key]
            if d < 0 then d = 0 end
            local secs = floor(d)
            set_generated(tree_add(top, f.time, new_nstime(secs, floor((d - secs) * 1e9 + 0.5))))
        end
    end
    if rtype ~= NS_OK then
        local anchor = R.type_item or top
        add_expert(anchor, ex.refused, sformat("Request refused: reply type %d", rtype))
    end
end

-- Places a record within its name list stream: a head, names, an end.
local function track_list(pinfo, key, rtype)
    -- the request that announced the port when the record came, not a later one
    if not pinfo.visited and list_req_of[key] == nil then list_req_of[key] = ctx.list_req or false end
    local req = list_req_of[key]
    if req and R.W.list_req then
        set_generated(tree_add(R.top, f.list_req, req))
    end
    if not pinfo.visited and list_note[key] == nil then
        local conn, note = ctx.conn, false
        if rtype == NS_LISTHEAD then
            if list_open[conn] then note = "NS_LISTHEAD inside a name list stream" end
            list_open[conn] = true
        else
            if not list_open[conn] then note = "Name list stream does not begin with NS_LISTHEAD" end
            if rtype == NS_LISTEND then list_open[conn] = nil end
        end
        list_note[key] = note
    end
    if list_note[key] then
        local anchor = R.type_item or R.top
        add_expert(anchor, ex.list_order, list_note[key])
    end
end

-- Dissects one frame: clen bytes of ciphertext at coff in tvb, of which
-- have are present; raw holds the tvb's bytes from its start as a string;
-- lenbyte_off is the position of the TCP length byte, or nil for a
-- datagram.  Returns the text for the Info column.
local function dissect_record(tvb, raw, coff, clen, have, lenbyte_off, pinfo, tree)
    local W = ctx.W
    local start = lenbyte_off or coff
    -- without an item of its own, the record's warnings go to the tree
    local top = tree
    if W.top then top = tree_add(tree, proto, trange(tvb, start, coff + have - start)) end
    if lenbyte_off and W.frame_len then tree_add(top, f.frame_len, trange(tvb, lenbyte_off, 1)) end
    if have < clen then
        add_expert(top, ex.frame_cut,
            sformat("Frame of %d bytes, only %d at hand", clen, have))
    end
    if clen <= SALT then
        add_expert(top, ex.short_frame,
            sformat("Frame of %d bytes, under 25: no record", clen))
        local text = sformat("Short frame (%d bytes)", clen)
        if W.top then append_text(top, ", " .. text) end
        return text
    end
    if have <= SALT then
        if W.top then append_text(top, ", frame cut short") end
        return "Cut frame"
    end
    if not keys then
        top:add_tvb_expert_info(ex.keys, trange(tvb, coff, have), "Cannot decipher: " .. tostring(keys_error))
        return "Enciphered record (no key tables)"
    end

    local n = have - SALT
    local plain = decipher(raw, coff + 1, n)
    R.plain, R.n, R.W, R.top, R.type_item, R.dtvb = plain, n, W, top, nil, nil
    local dtvb
    if W.fields then
        -- the deciphered frame, salt and record, as a data source of its own
        dtvb = bytes_tvb(new_bytes(unmasked_salt() .. plain, true), "Deciphered record")
        R.dtvb = dtvb
        if W.salt then tree_add(top, f.salt, trange(dtvb, 0, SALT)) end
        if W.record_len then set_generated(tree_add(top, f.record_len, n)) end
    end
    if n < HEADER then
        add_expert(top, ex.short_header,
            sformat("Record of %d bytes, shorter than its 16-byte header", n))
    end

    local rtype = sbyte(plain, 1)
    if W.type then R.type_item = tree_add(top, f.type, trange(dtvb, SALT, 1)) end
    local tname = TYPE_NAMES[rtype]
    if not tname then
        tname = sformat("Unknown type %d", rtype)
        local anchor = R.type_item or top
        add_expert(anchor, ex.unknown_type, sformat("Unknown type code %d", rtype))
    end
    local o1, o2, o3 = sbyte(plain, 9, 11)
    o1, o2, o3 = o1 or 0, o2 or 0, o3 or 0
    local a1, a2, a3 = top, top, top
    if W.fields then
        if n >= 4 and W.option then tree_add(top, f.option, trange(dtvb, SALT + 3, 1)) end
        if n >= 6 and W.control then tree_add(top, f.control, trange(dtvb, SALT + 4, 2)) end
        if n >= 8 and W.level then tree_add(top, f.level, trange(dtvb, SALT + 7, 1)) end
        if n >= 9 and W.name_off then a1 = tree_add(top, f.name_off, trange(dtvb, SALT + 8, 1)) end
        if n >= 10 and W.addr_off then a2 = tree_add(top, f.addr_off, trange(dtvb, SALT + 9, 1)) end
        if n >= 11 and W.text_off then a3 = tree_add(top, f.text_off, trange(dtvb, SALT + 10, 1)) end
    end
    local name = add_item("name", o1, a1)
    local addr = add_item("addr", o2, a2)
    local text = add_item("text", o3, a3)

    local role, label = ctx.role, nil
    if role == "request" or role == "reply" then
        track_exchange(pinfo, ssub(raw, coff + 1, coff + SALT), rtype, o2)
        label = ROLE_LABEL[role] .. tname
    elseif role == "list" then
        track_list(pinfo, ssub(raw, coff + 1, coff + SALT), rtype)
        label = LIST_LABEL[rtype] or "List entry"
    else
        label = tname
    end
    local summary = label
    if name then summary = summary .. " " .. name end
    if addr then summary = summary .. " " .. addr end
    if text then summary = summary .. " " .. text end
    if W.top then append_text(top, ", " .. summary) end
    return summary
end

-- --- the transports ----------------------------------------------------------------------
-- The Info texts of the records of the current packet.  TCP may call the
-- dissector more than once for one packet (a reassembled frame, then the
-- rest of the segment): a later call continues the text of the earlier one
-- when the column still holds it.
local info_parts, info_count, info_frame, info_text = {}, 0, nil, nil

local function start_columns(pinfo)
    info_count = 0
    if ctx.number == info_frame and tostring(pinfo.cols.info) == info_text then
        info_count = 1
        info_parts[1] = info_text
    end
end

local function add_info(text)
    info_count = info_count + 1
    info_parts[info_count] = text
end

local function set_columns(pinfo)
    local cols = pinfo.cols
    cols.protocol = "TALVEN-NS"
    if info_count > 0 then
        info_text = tconcat(info_parts, ", ", 1, info_count)
        info_frame = ctx.number
        cols.info = info_text
    end
end

local function dissect_udp(tvb, pinfo, tree)
    local raw = tvb:raw()
    local len = #raw
    local have = len < MAX_FRAME and len or MAX_FRAME
    add_info(dissect_record(tvb, raw, 0, have, have, nil, pinfo, tree))
    if len > MAX_FRAME then
        add_expert(tree, ex.long_dgram,
            sformat("Datagram of %d bytes: receivers read only the first 256", len))
    end
    return len
end

-- The frames of a TCP segment (or of reassembled segments): each one length
-- byte and that many bytes of ciphertext.  A frame that goes on past the
-- bytes at hand is left to TCP to reassemble, or shown cut short when it
-- cannot be.
local function dissect_frames(tvb, pinfo, tree)
    local raw = tvb:raw()
    local len = #raw
    local offset = 0
    while offset < len do
        local clen = sbyte(raw, offset + 1)
        local have = len - offset - 1
        if have < clen and pref_reassemble and pinfo.can_desegment > 0 then
            pinfo.desegment_offset = offset
            pinfo.desegment_len = clen - have
            return len
        end
        if have > clen then have = clen end
        add_info(dissect_record(tvb, raw, offset + 1, clen, have, offset, pinfo, tree))
        offset = offset + 1 + have
    end
    return len
end

local function dissect_tcp(tvb, pinfo, tree)
    local server = current_port or DEFAULT_PORT
    local sport, dport = pinfo.src_port, pinfo.dst_port
    ctx.list_req = nil
    if sport ~= server and dport ~= server then
        if list_ports[dport] or pref_list_ports[dport] then
            -- a name list stream: the name server connected to the client's port
            ctx.role, ctx.list_req = "list", list_ports[dport]
            ctx.conn = sport * 65536 + dport
            return dissect_frames(tvb, pinfo, tree)
        end
        if list_ports[sport] or pref_list_ports[sport] then
            return 0        -- the client's side of a name list stream says nothing
        end
        server = pinfo.match_uint   -- "Decode As" on another port
    end
    if dport == server then
        ctx.role = "request"
        ctx.conn = sport * 65536 + dport
    elseif sport == server then
        ctx.role = "reply"
        ctx.conn = dport * 65536 + sport
    else
        ctx.role, ctx.conn = nil, 0
    end
    return dissect_frames(tvb, pinfo, tree)
end

local function dissect(tvb, pinfo, tree)
    ctx.number = pinfo.number
    start_columns(pinfo)
    ctx.W = wanted(tree)
    local consumed
    if pinfo.port_type == 3 then       -- UDP
        ctx.role, ctx.conn, ctx.list_req = "udp", 0, nil
        consumed = dissect_udp(tvb, pinfo, tree)
    else
        consumed = dissect_tcp(tvb, pinfo, tree)
    end
    if consumed ~= 0 then set_columns(pinfo) end
    return consumed
end

function proto.dissector(tvb, pinfo, tree)
    local ok, consumed = pcall(dissect, tvb, pinfo, tree)
    if not ok then
        pcall(function()
            add_expert(tree, ex.internal, "Dissector fault: " .. tostring(consumed))
        end)
        pcall(set_columns, pinfo)
        consumed = tvb:len()
    end
    return consumed
end

-- Registration: the name-service port on UDP and TCP (which also offers the
-- protocol under "Decode As" for both tables).
pcall(apply_prefs)
pcall(function() handle = Dissector.get("talvenns") end)
