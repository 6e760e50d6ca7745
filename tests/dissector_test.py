#!/usr/bin/env python3
"""dissector_test - the Wireshark dissector shows what is really sent.

Run by dissector_test.sh inside the network sandbox, with BIN_DIR and
SOURCE_DIR.  It

  * captures (dumpcap on lo and nsb0) while nsadmin and nsquery run the
    demo's steps against the stand-ins: register, lookup, -L, a name list,
    an admin host, a PC name, a control request, each after a discovery
    without a configured master, and a census; and, at the same time, while
    two hostile stand-ins send short, lying, fragmented and doubled answers
    on ports of their own (16025 for TCP, 16026 for the census);
  * reads the captures with tshark and the dissector, and checks record by
    record the type, name, address, port and text against what the tools
    sent and printed, the matching of replies with requests, the
    reassembly of a frame split over segments and the two frames of one
    segment, and the expert warnings on the hostile answers;
  * compares tshark's output over the captures kept in tests/data with the
    output kept next to them (they were made with the key tables kept there
    too, so they read the same whatever tables this build uses);
  * feeds the dissector generated garbage and broken key files: it must
    never fail;
  * matches replies and name lists with their requests in generated
    exchanges that the tools do not make (two hosts on one port, two lists
    in turn on one port).

NS_DISSECTOR_KEEP=DIR writes the fresh captures and their output into DIR,
for refreshing tests/data.
"""

import filecmp
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

BIN, SRC = sys.argv[1], sys.argv[2]
sys.dont_write_bytecode = True      # leave no __pycache__ in the source tree
sys.path.insert(0, os.path.join(SRC, "tests", "support"))
import nspcap  # noqa: E402

BUILD = os.path.dirname(BIN)
LUA = os.path.join(SRC, "wireshark", "talven-ns.lua")
REPO_KEYS = os.path.join(SRC, "rsockmap", "authcryp.keys")
DATA = os.path.join(SRC, "tests", "data")
DATA_KEYS = os.path.join(DATA, "authcryp.keys")    # the tables the kept captures use
KEEP = os.environ.get("NS_DISSECTOR_KEEP")

failures = []


def check(cond, message):
    if not cond:
        failures.append(message)
        print("FAIL:", message, file=sys.stderr)
    return cond


def cache(name):
    with open(os.path.join(BUILD, "CMakeCache.txt")) as fh:
        for line in fh:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    return ""


BUILD_KEYS = cache("NS_KEY_FILE") or REPO_KEYS
WORK = tempfile.mkdtemp(prefix="dissector_test.")
ENV = dict(os.environ, HOME=WORK, XDG_CONFIG_HOME=os.path.join(WORK, "config"),
           PATH=BIN + os.pathsep + os.environ["PATH"])

# --- tshark ------------------------------------------------------------------------
FIELDS = ["frame.number", "ip.src", "udp.srcport", "udp.dstport", "tcp.stream",
          "tcp.segment.count", "talvenns.frame_len", "talvenns.type", "talvenns.option", "talvenns.control",
          "talvenns.level", "talvenns.record_len", "talvenns.name_offset",
          "talvenns.addr_offset", "talvenns.text_offset", "talvenns.name",
          "talvenns.addr", "talvenns.port", "talvenns.text", "talvenns.request_in",
          "talvenns.response_in", "talvenns.time", "_ws.expert.message"]
HOSTILE_PORTS = ["-o", "talvenns.port:16025", "-d", "udp.port==16026,talvenns"]


def tshark(capture, *args, keys=None):
    """tshark's output with the dissector; its standard error must hold
    nothing but the warning it gives when run as root."""
    cmd = ["tshark", "-n", "-r", capture, "-X", "lua_script:" + LUA]
    if keys:
        cmd += ["-o", "talvenns.key_file:" + keys]
    result = subprocess.run(cmd + list(args), capture_output=True, text=True, env=ENV,
                            timeout=120, errors="replace")
    errors = [line for line in result.stderr.splitlines()
              if line.strip() and "Running as user" not in line]
    check(result.returncode == 0 and not errors,
          f"tshark {' '.join(args)} on {os.path.basename(capture)}: status "
          f"{result.returncode}, {errors}")
    return result.stdout


def fields_output(capture, *args, keys=None):
    args = list(args) + ["-Y", "talvenns", "-T", "fields", "-E", "separator=|",
                         "-E", "aggregator=;", "-E", "occurrence=a"]
    for field in FIELDS:
        args += ["-e", field]
    return tshark(capture, *args, keys=keys)


def packets(output):
    """One dict per packet: field -> list of its values."""
    out = []
    for line in output.splitlines():
        values = line.split("|")
        if len(values) != len(FIELDS):
            check(False, f"tshark line with {len(values)} fields: {line}")
            continue
        out.append({f: (v.split(";") if v else []) for f, v in zip(FIELDS, values)})
    return out


def records(pkts):
    """The records of the packets, one dict each.  The values of a packet's
    records come aggregated field by field; they are matched up for
    well-formed records: a TCP record has its length byte, a datagram is one
    record, and an item is there when its offset is not 0."""
    recs = []
    for p in pkts:
        count = max(len(p["talvenns.type"]), len(p["talvenns.frame_len"]), 1)
        items = {k: iter(p["talvenns." + k]) for k in ("name", "addr", "port", "text")}
        for i in range(count):
            def at(field, default=""):
                values = p[field]
                return values[i] if i < len(values) else default
            r = {"frame": int(p["frame.number"][0]), "src": p["ip.src"][0] if p["ip.src"] else "",
                 "udp": bool(p["udp.srcport"]),
                 "sport": int((p["udp.srcport"] or ["0"])[0]),
                 "dport": int((p["udp.dstport"] or ["0"])[0]),
                 "stream": p["tcp.stream"][0] if p["tcp.stream"] else None,
                 "segments": p["tcp.segment.count"][0] if p["tcp.segment.count"] else "",
                 "count": count, "type": int(at("talvenns.type", "-1")),
                 "option": at("talvenns.option"), "control": at("talvenns.control"),
                 "level": at("talvenns.level"), "experts": p["_ws.expert.message"]}
            for kind, offset_field in (("name", "talvenns.name_offset"),
                                       ("addr", "talvenns.addr_offset"),
                                       ("text", "talvenns.text_offset")):
                present = at(offset_field, "0") not in ("0", "")
                r[kind] = next(items[kind], None) if present else None
                if kind == "addr":
                    r["port"] = next(items["port"], None) if present else None
            if count == 1:
                for k in ("request_in", "response_in", "time"):
                    v = p["talvenns." + k]
                    r[k] = v[0] if v else None
            recs.append(r)
    return recs


# --- processes ---------------------------------------------------------------------
procs = []


def start(name, args, ready=None, env=ENV):
    log = open(os.path.join(WORK, name + ".out"), "w+")
    p = subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT, env=env)
    procs.append(p)
    if ready:
        deadline = time.time() + 10
        while time.time() < deadline:
            log.seek(0)
            if ready in log.read():
                return p
            if p.poll() is not None:
                break
            time.sleep(0.02)
        log.seek(0)
        sys.exit(f"dissector_test: {name} did not start: {log.read()}")
    return p


def run(args, env):
    result = subprocess.run(args, capture_output=True, text=True, env=env, timeout=30)
    return result.stdout


def write(name, text):
    path = os.path.join(WORK, name)
    with open(path, "w") as fh:
        fh.write(text)
    return path


def config(name, namesvc=None):
    text = f"TALVEN_TMPDIR={WORK}\n" + (f"TALVEN_NAMESVC={namesvc}\n" if namesvc else "")
    return dict(ENV, TALVEN_CONFIG=write(name, text))


# --- the hostile answers -----------------------------------------------------------
def hexify(data):
    return bytes(data).hex()


def hostile_scripts():
    rec = nspcap.record
    keys = nspcap.load_keys(BUILD_KEYS)
    cipher = nspcap.Cipher(keys, seed=12)
    name_far = bytearray(rec("NS_OK", name="x"))
    name_far[8] = 200                                   # offset above 127
    addr_long = bytearray(rec("NS_OK"))
    addr_long[9] = 16
    addr_long += bytes([20]) + nspcap.addr("198.18.0.13", 6000)     # length 20, 16 present
    text_no_nul = bytearray(rec("NS_OK"))
    text_no_nul[10] = 16
    text_no_nul += b"\x03abc"                           # the record ends without the NUL
    text_long = bytearray(rec("NS_OK"))
    text_long[10] = 16
    text_long += bytes([200]) + b"short\0"              # length above 127, past the end
    two_frames = cipher.frame(rec("NS_OK", name="first")) + cipher.frame(rec("NS_OK", name="second"))
    tcp = "\n".join([
        "tcp raw:0a0102030405060708090a",               # a frame under 25 bytes
        "tcp rec:" + hexify(name_far),
        "tcp rec:" + hexify(addr_long),
        "tcp rec:" + hexify(text_no_nul),
        "tcp rec:" + hexify(rec(99, name="what")),       # unknown type
        "tcp rec:" + hexify(text_long),
        "tcp frag:5:15 normal",                         # the normal answer, 5 bytes at a time
        "tcp raw:" + hexify(two_frames),                 # two frames in one segment
        "tcp long:10:" + hexify(rec("NS_OK")) + " close",
        "list rec:" + hexify(rec("NS_LISTEND")),         # a list without its head
    ]) + "\n"
    census_short = "0a0b0c"
    census_odd = rec(77)                                 # unknown type
    census_addr = bytearray(rec("NS_BACKUP"))
    census_addr[9] = 16
    census_addr += bytes([8]) + nspcap.addr("198.18.0.12", 16026)[:8]   # length 8, not 16
    udp = ("udp raw:" + census_short + " rec:" + hexify(census_odd) + " rec:" + hexify(census_addr)
           + " normal\n")
    return write("hostile-tcp", tcp), write("hostile-udp", udp)


# --- the scenario --------------------------------------------------------------------
HOSTILE_FILTER = "host 198.18.0.12 or host 198.18.0.13 or port 16025 or port 16026"


def capture(name, filt):
    path = os.path.join(WORK, name + ".pcapng")
    p = start(name + "-dumpcap", ["dumpcap", "-q", "-i", "lo", "-f", filt, "-i", "nsb0",
                                  "-f", filt, "-w", path], ready="Capturing on")
    return p, path


def scenario():
    preload = write("preload", "service \\\\nsm-master\\lcnsesvc 198.18.0.10 7000 1 0\n"
                               "admin nsm-master\n")
    hostile_preload = write("hostile-preload", "service \\\\nsm-other\\svc 198.18.0.13 6000 2 3 secret\n")
    tcp_script, udp_script = hostile_scripts()
    nsmd = os.path.join(BIN, "nsmd")
    start("master", [nsmd, "-a", "198.18.0.10", "-f", preload, "--admin-host", "nsm-master"], "ready")
    start("backup", [nsmd, "-a", "198.18.0.11", "-r", "backup"], "ready")
    start("hostile", [nsmd, "-a", "198.18.0.13", "-p", "16025", "-f", hostile_preload,
                      "--hostile", tcp_script, "--idle-timeout", "2000"], "ready")
    start("hostile-census", [nsmd, "-a", "198.18.0.12", "-p", "16026", "-r", "backup",
                             "--hostile", udp_script], "ready")
    main_cap = capture("demo", "not (" + HOSTILE_FILTER + ")")
    hostile_cap = capture("hostile", HOSTILE_FILTER)

    main, bad, bad_census = config("main.conf"), config("hostile.conf", "nsm-other.16025"), \
        config("census.conf", "nsm-backup2.16026")
    census = subprocess.Popen(["nsadmin", "-n"], stdout=subprocess.PIPE, text=True, env=main)
    printed = {
        "register": run(["nsadmin", "-a", "\\\\nstest\\demo", "198.18.0.1/4000", "3", "1", "hello"], main),
        "lookup": run(["nsadmin", "-l", "\\\\nstest\\demo"], main),
        "licence": run(["nsadmin", "-L"], main),
        "names": run(["nsquery", "names", "*"], main),
        "adminhost": run(["nsquery", "adminhost", "nsm-master"], main),
        "pc": run(["nsadmin", "-p", "\\\\pc1\\nstest"], main),
        "control": run(["nsadmin", "-d", "768"], main),
    }
    for _ in range(9):
        run(["nsadmin", "-l", "\\\\nsm-other\\svc"], bad)
    run(["nsquery", "--timeout", "5", "names", "*"], bad)
    run(["nsadmin", "-n"], bad_census)
    printed["census"] = census.communicate(timeout=30)[0]
    time.sleep(0.3)
    sorted_caps = []
    for p, path in (main_cap, hostile_cap):
        p.send_signal(signal.SIGTERM)
        p.wait(timeout=10)
        out = path.replace(".pcapng", "-sorted.pcapng")
        subprocess.run(["reordercap", path, out], check=True, capture_output=True)
        sorted_caps.append(out)
    return printed, sorted_caps[0], sorted_caps[1]


# --- checks ------------------------------------------------------------------------------
def expect(rec, where, **want):
    for key, value in want.items():
        check(rec.get(key) == value, f"{where}: {key} is {rec.get(key)!r}, not {value!r}")


def check_demo(printed, recs):
    census_req = next((r for r in recs if r["type"] == 16), None)
    check(census_req is not None, "no NS_CENSUS record")
    # The census's answers come to its port until that port, taken again by
    # a later program's socket, sends a discovery of its own.
    census, port = [], census_req["sport"] if census_req else None
    for r in recs if census_req else []:
        if not r["udp"] or r["frame"] < census_req["frame"]:
            continue
        if r["sport"] == port and r is not census_req:
            break
        if r is census_req or r["dport"] == port:
            census.append(r)
    discovery = [r for r in recs if r["udp"] and r not in census]
    tcp = {}
    for r in recs:
        if not r["udp"]:
            tcp.setdefault(r["stream"], []).append(r)
    streams = sorted(tcp.values(), key=lambda s: s[0]["frame"])

    # The census: one request, a master's and a backup's reply, as printed.
    replies = sorted((r["type"], r["src"]) for r in census if r["type"] != 16)
    check(replies == [(7, "198.18.0.10"), (14, "198.18.0.11")], f"census replies {replies}")
    check(sorted(printed["census"].split("\n")) == ["", "nsm-backup1 (BACKUP)", "nsm-master (MASTER)"],
          f"census printed {printed['census']!r}")

    # Each program found the master by broadcast first: NS_FINDMASTER, then
    # the master's NS_MASTER with its own address.
    want = []
    for _ in range(7):
        want += [(9, None, None), (7, "198.18.0.10 (16024)", "16024")]
    got = [(r["type"], r["addr"], r["port"]) for r in discovery]
    check(got == want, f"discovery records {got}")

    check(len(streams) == 8, f"{len(streams)} TCP connections with records, not 8")
    if len(streams) != 8:
        return
    reg, look, lic, names, listing, admin, pc, control = streams
    types = [[r["type"] for r in s] for s in streams]
    check(types == [[1, 32], [3, 32], [3, 32], [4, 32], [8, 4, 4, 34], [15, 32], [10, 32], [13, 32]],
          f"TCP record types {types}")
    # nsadmin -a printed "address, type, level, 'text'" of what it sent
    expect(reg[0], "register request", name="\\\\nstest\\demo", addr="198.18.0.1 (4000)",
           port="4000", text="hello", option="3", level="'1'")
    check(printed["register"] == f"{reg[0]['addr']}, 3, 1, '{reg[0]['text']}'\n",
          f"register printed {printed['register']!r}")
    expect(look[0], "lookup request", name="\\\\nstest\\demo", addr=None, text=None, option="4")
    expect(look[1], "lookup reply", addr="198.18.0.1 (4000)", port="4000", text="hello")
    check(printed["lookup"] == f"{look[1]['addr']} (auth={look[1]['text']})\n",
          f"lookup printed {printed['lookup']!r}")
    expect(lic[0], "-L request", name="\\\\*\\lcnsesvc")
    expect(lic[1], "-L reply", addr="198.18.0.10 (7000)", port="7000")
    check(printed["licence"] == f"nsm-master  {lic[1]['addr']}\n", f"-L printed {printed['licence']!r}")
    expect(names[0], "name list request", name="*", option="0")
    check((names[0]["addr"] or "").startswith("198.18.0.1 ("), f"name list address {names[0]['addr']}")
    listed = [r["name"] for r in listing[1:-1]]
    check(listed == printed["names"].split(), f"listed {listed}, printed {printed['names'].split()}")
    check(len(listing) > 2 and listing[0]["count"] == len(listing),
          "the name list's records do not share one segment")
    expect(admin[0], "admin host request", name="nsm-master")
    expect(admin[1], "admin host reply", name=printed["adminhost"].strip())
    expect(pc[0], "PC name request", name="\\\\pc1\\nstest")
    expect(control[0], "control request", control="768", name=None)
    # every reply names its request (and the request its reply: tshark -2)
    for s in streams:
        if s is listing:
            continue
        check(s[1]["request_in"] == str(s[0]["frame"]) and s[0]["response_in"] == str(s[1]["frame"])
              and s[1]["time"], f"reply in frame {s[1]['frame']} not matched with its request")
    # A request goes out whole in one send: one segment, nothing to reassemble
    # (the kept capture has requests of two segments, the hostile answers more).
    check(all(s[0]["segments"] in ("", "1") for s in streams if s is not listing),
          "a request of one segment shown as reassembled")
    check(not any(r["experts"] for r in recs if r["type"] not in (32, 7, 14)),
          "warnings on the demo's records")


HOSTILE_TCP = [  # the expert messages of each hostile reply, in order
    ["Frame of 10 bytes, under 25: no record"],
    ["Name offset 200 is above 127 (read as -56)"],
    ["Address item claims 20 bytes, 16 received", "Address item length is 20, not 16"],
    ["Text item without its NUL"],
    ["Unknown type code 99", "Request refused: reply type 99"],
    ["Text item length 200 is above 127 (read as -56)", "Text item claims 200 bytes, 6 received"],
]


def check_hostile(recs):
    tcp_replies = [r for r in recs if not r["udp"] and r["src"] == "198.18.0.13"]
    got = [sorted(r["experts"]) for r in tcp_replies[:len(HOSTILE_TCP)]]
    check(got == [sorted(e) for e in HOSTILE_TCP], f"hostile replies' warnings {got}")
    rest = tcp_replies[len(HOSTILE_TCP):]
    # the answer sent 5 bytes at a time: reassembled, and deciphered whole
    frag = [r for r in rest if r["segments"] not in ("", "1", "2")]
    check(len(frag) == 1 and frag[0]["addr"] == "198.18.0.13 (6000)" and frag[0]["text"] == "secret",
          f"fragmented reply {frag}")
    # two frames in one segment
    double = [r for r in rest if r["count"] == 2]
    check([r["name"] for r in double] == ["first", "second"] and not double[0]["segments"],
          f"two frames in one segment: {double}")
    # the name list that ends before it begins
    listed = [r for r in recs if not r["udp"] and r["type"] == 34 and r["src"] == "198.18.0.13"
              and r["stream"] is not None and r["experts"]]
    check(any("Name list stream does not begin with NS_LISTHEAD" in r["experts"] for r in listed),
          "no warning on a name list without its head")
    # the census answers of the other hostile stand-in
    census = [r for r in recs if r["udp"] and r["src"] == "198.18.0.12"]
    got = [(r["type"], sorted(r["experts"])) for r in census]
    want = [(-1, ["Frame of 3 bytes, under 25: no record"]), (77, ["Unknown type code 77"]),
            (14, ["Address item length is 8, not 16"]), (14, [])]
    check(got == want, f"hostile census answers {got}")


def check_no_reassembly(capture):
    out = tshark(capture, *HOSTILE_PORTS, "-o", "talvenns.reassemble:FALSE", "-Y", "talvenns",
                 "-T", "fields", "-e", "_ws.expert.message", keys=BUILD_KEYS)
    check("Frame of 10 bytes, only 5 at hand" not in out and "only" in out,
          "no frame cut short without reassembly")


def check_fields_tree(capture, *args):
    """-T fields builds only the part of the tree that its fields and
    filters name (a field of _ws.expert keeps the whole tree): the columns
    must read the same as with the whole tree, and a field named in a glued
    option must still be filled."""
    def columns(fields, *more):
        cmd = list(args) + ["-T", "fields"] + [x for fld in fields for x in ("-e", fld)]
        return tshark(capture, *cmd, *more, keys=BUILD_KEYS).splitlines()

    def cut(lines, n):
        return ["\t".join(line.split("\t")[:n]) for line in lines]

    for fields, more in ((["frame.number", "_ws.col.Info"], []),
                         (["frame.number", "_ws.col.Info", "talvenns.name", "talvenns.port",
                           "talvenns.text", "talvenns.request_in", "talvenns.time"], []),
                         (["frame.number", "talvenns.addr"], ["-Y", "talvenns.type != 3"])):
        whole = columns(fields + ["_ws.expert.message"], *more)
        check(columns(fields, *more) == cut(whole, len(fields)),
              f"-T fields {fields} {more} read differently without the whole tree")
    names = tshark(capture, *args, "-Tfields", "-etalvenns.name", keys=BUILD_KEYS)
    check("\\\\" in names, "-etalvenns.name, glued, gives no names")


def check_kept():
    for name, args in (("demo", []), ("hostile", HOSTILE_PORTS)):
        capture = os.path.join(DATA, name + ".pcap")
        with open(os.path.join(DATA, name + ".fields")) as fh:
            want = fh.read()
        got = fields_output(capture, *args, keys=DATA_KEYS)
        check(got == want, f"tests/data/{name}.pcap reads differently now:\n"
              + "".join(f"  - {w}\n  + {g}\n" for w, g in zip(want.splitlines(), got.splitlines())
                        if w != g)[:3000])


def check_key_files(capture):
    bad = write("bad.keys", "# K0\n00 11 22\n33 zz 44\n")
    short = write("short.keys", "00 " * 150 + "\n")
    empty = write("empty.keys", "")
    for keys, message in ((os.path.join(WORK, "nosuch.keys"), "Cannot decipher: cannot open "),
                          (bad, f"Cannot decipher: {bad}:3: 'zz' is not a two-digit hex byte"),
                          (short, "holds 150 bytes; the key tables need exactly 152"),
                          (empty, "holds 0 bytes; the key tables need exactly 152"),
                          (WORK, f"Cannot decipher: cannot read {WORK}: Is a directory")):
        out = tshark(capture, "-V", "-c", "3", keys=keys)
        check(message in out and "Lua Error" not in out, f"key file {keys}: no message {message!r}")


def garbage(path, keys):
    """Random datagrams and streams on the name-service port: raw noise, and
    records whose every header byte and item is random."""
    rng = random.Random(1234)
    cipher = nspcap.Cipher(keys, seed=99)
    c, s = "198.18.0.1", "198.18.0.10"

    def random_record():
        n = rng.choice([0, 1, 5, 15, 16, 17, 30, 100, 127, 128, 129, 200, 231])
        rec = bytearray(rng.getrandbits(8) for _ in range(n))
        for k in (8, 9, 10):                       # offsets that often point somewhere
            if k < n and rng.random() < 0.7:
                rec[k] = rng.randrange(n + 3)
        return bytes(rec)

    with nspcap.PcapWriter(path) as pcap:
        for _ in range(400):
            if rng.random() < 0.5:
                payload = bytes(rng.getrandbits(8) for _ in range(rng.randrange(300)))
            else:
                payload = cipher.encipher(random_record())
            pcap.udp(c, 1025, s, nspcap.NS_PORT, payload)
        for conn in range(30):
            port = 40000 + conn
            stream = bytearray()
            for _ in range(rng.randrange(1, 8)):
                if rng.random() < 0.3:
                    stream += bytes(rng.getrandbits(8) for _ in range(rng.randrange(60)))
                else:
                    stream += cipher.frame(random_record())
            if conn % 3 == 0:   # a name list request, then a list stream to its port
                listen = 1100 + conn
                stream += cipher.frame(nspcap.record("NS_NAMELIST", name="*",
                                                     address=nspcap.addr(c, listen)))
            src, dst = (c, s) if conn % 2 else (s, c)
            sp, dp = (port, nspcap.NS_PORT) if conn % 2 else (nspcap.NS_PORT, port)
            while stream:
                cut = rng.randrange(1, 90)
                pcap.tcp(src, sp, dst, dp, bytes(stream[:cut]))
                del stream[:cut]
            if conn % 3 == 0:
                body = b"".join(cipher.frame(random_record()) for _ in range(5))
                pcap.tcp(s, 50000 + conn, c, listen, body)


def check_garbage():
    path = os.path.join(WORK, "garbage.pcap")
    garbage(path, nspcap.load_keys(BUILD_KEYS))
    out = tshark(path, "-2", "-V", keys=BUILD_KEYS)
    check("Lua Error" not in out and "Dissector fault" not in out,
          "the dissector failed on garbage: "
          + "".join(line + "\n" for line in out.splitlines() if "Lua Error" in line or "fault" in line)[:2000])
    check(out.count("Talven Name Service") > 400, "garbage not dissected")


def check_matching():
    """Generated exchanges: clients on two hosts with the same port at once,
    then two name lists in turn on the same client port.  Each reply names
    its request and each list the request that announced it, on both
    passes (-2)."""
    path = os.path.join(WORK, "matching.pcap")
    cipher = nspcap.Cipher(nspcap.load_keys(BUILD_KEYS), seed=5)
    rec, c, s, port = nspcap.record, "198.18.0.1", "198.18.0.10", nspcap.NS_PORT
    with nspcap.PcapWriter(path) as pcap:
        for host in ("198.18.0.1", "198.18.0.2"):       # frames 1 and 2
            pcap.tcp(host, 39999, s, port, cipher.frame(rec("NS_LOOKUP", option=4, name=host)))
        for host in ("198.18.0.1", "198.18.0.2"):       # frames 3 and 4
            pcap.tcp(s, port, host, 39999, cipher.frame(rec("NS_OK", address=nspcap.addr(host, 1))))
        for i in range(2):                              # frames 5-7 and 8-10
            pcap.tcp(c, 40000 + i, s, port, cipher.frame(rec("NS_NAMELIST", name="*",
                                                                address=nspcap.addr(c, 1025))))
            pcap.tcp(s, port, c, 40000 + i, cipher.frame(rec("NS_OK")))
            pcap.tcp(s, 50000 + i, c, 1025, b"".join(cipher.frame(rec(t, name=n)) for t, n in (
                ("NS_LISTHEAD", None), ("NS_OK", f"\\\\h\\n{i}"), ("NS_LISTEND", None))))
    out = tshark(path, "-2", "-Y", "talvenns", "-T", "fields", "-E", "occurrence=f", "-e", "frame.number",
                 "-e", "talvenns.request_in", "-e", "talvenns.list_request_in", keys=BUILD_KEYS)
    got = [line.split("\t") for line in out.splitlines()]
    want = [["3", "1", ""], ["4", "2", ""], ["6", "5", ""], ["7", "", "5"], ["9", "8", ""],
            ["10", "", "8"]]
    check([g for g in got if g[1] or g[2]] == want, f"requests named by replies and lists: {got}")


def stop_all():
    for p in procs:
        if p.poll() is None:
            p.terminate()
    for p in procs:
        try:
            p.wait(timeout=10)
        except subprocess.TimeoutExpired:
            p.kill()


def main():
    try:
        # It runs the tools (a census broadcasts) and captures: only in the
        # namespace that scripts/netsandbox made.
        if os.environ.get("NS_SANDBOX_NETNS") != os.readlink("/proc/self/ns/net"):
            sys.exit("dissector_test: not inside the network sandbox: "
                     "run it through scripts/netsandbox")
        run_checks()
    finally:
        stop_all()
        shutil.rmtree(WORK, ignore_errors=True)
    if failures:
        print(f"dissector_test: {len(failures)} failure(s)", file=sys.stderr)
        sys.exit(1)
    print("dissector_test: passed")


def run_checks():
    try:
        printed, demo_cap, hostile_cap = scenario()
    finally:
        stop_all()
    # Where the build uses the source tree's tables, the script is left to
    # find them itself.
    same = filecmp.cmp(BUILD_KEYS, REPO_KEYS, shallow=False)
    demo_out = fields_output(demo_cap, "-2", keys=None if same else BUILD_KEYS)
    hostile_out = fields_output(hostile_cap, *HOSTILE_PORTS, keys=BUILD_KEYS)
    check_demo(printed, records(packets(demo_out)))
    check_hostile(records(packets(hostile_out)))
    check_no_reassembly(hostile_cap)
    check_fields_tree(demo_cap)
    check_fields_tree(hostile_cap, *HOSTILE_PORTS)
    if KEEP:
        os.makedirs(KEEP, exist_ok=True)
        for name, capture, args in (("demo", demo_cap, []), ("hostile", hostile_cap, HOSTILE_PORTS)):
            # kept small: no bare acknowledgements, no pcapng block overhead
            kept = os.path.join(KEEP, name + ".pcap")
            subprocess.run(["tshark", "-n", "-r", capture, "-Y", "not (tcp.len == 0 and tcp.flags.syn == 0"
                            " and tcp.flags.fin == 0 and tcp.flags.reset == 0)", "-F", "pcap", "-w", kept],
                           check=True, capture_output=True, env=ENV)
            with open(os.path.join(KEEP, name + ".fields"), "w") as fh:
                fh.write(fields_output(kept, *args, keys=BUILD_KEYS))
        shutil.copy(BUILD_KEYS, os.path.join(KEEP, "authcryp.keys"))
    else:
        check_kept()
    check_key_files(demo_cap)
    check_garbage()
    check_matching()


if __name__ == "__main__":
    main()
