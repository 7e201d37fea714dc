# Sockets and downloads of the real program on loopback only: against python3 peers started
# here, and between two processes of one run. Every peer and every run ends by itself.

net_peer="$work/net_peer.py"
cat > "$net_peer" <<'PY'
import http.server, os, socket, sys, threading, time

threading.Timer(180, lambda: os._exit(3)).start()  # never outlives the test
mode = sys.argv[1]
CAP = 0x2000000

def publish(path, text):
    with open(path + ".tmp", "w") as f:
        f.write(text + "\n")
    os.rename(path + ".tmp", path)

def recv_text(conn, want):
    got = b""
    while want.encode() not in got:
        chunk = conn.recv(4096)
        if not chunk:
            break
        got += chunk
    return got.decode(errors="replace")

if mode == "sock":
    lua_tcp, lua_udp, portfile, resultfile = int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
    results = []
    deadline = time.time() + 150

    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.bind(("127.0.0.1", 0))
    srv.listen(4)
    echo = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    echo.bind(("::1", 0))

    def serve_tcp():
        conn, _ = srv.accept()
        conn.settimeout(120)
        conn.sendall(b"hello from python")
        data = recv_text(conn, "ping2")
        conn.sendall(b"echo:" + data.encode())
        conn.close()

    def serve_udp():
        data, addr = echo.recvfrom(65536)
        echo.sendto(b"udp echo:" + data, addr)

    def connect(family, host):
        while time.time() < deadline:
            s = socket.socket(family, socket.SOCK_STREAM)
            try:
                s.connect((host, lua_tcp))
                s.settimeout(120)
                return s
            except OSError:
                s.close()
                time.sleep(0.1)
        raise SystemExit("no listener")

    def tcp_client():
        s = connect(socket.AF_INET, "127.0.0.1")
        first = recv_text(s, "hello lua")
        s.sendall(b"ping")
        last = recv_text(s, "bye")
        s.close()
        results.append("python got: " + first + "|" + last)
        s = connect(socket.AF_INET6, "::1")
        results.append("python over ::1 got: " + recv_text(s, "ok"))
        s.close()

    def udp_sender():
        s1 = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s2 = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s1.settimeout(3)
        while time.time() < deadline:
            s1.sendto(b"d1", ("127.0.0.1", lua_udp))
            s1.sendto(b"d2", ("127.0.0.1", lua_udp))
            s2.sendto(b"e1", ("127.0.0.1", lua_udp))
            try:
                results.append("python udp reply: " + s1.recv(100).decode())
                return
            except socket.timeout:
                pass

    workers = [threading.Thread(target=f, daemon=True) for f in (serve_tcp, serve_udp, tcp_client, udp_sender)]
    for w in workers:
        w.start()
    publish(portfile, "%d %d" % (srv.getsockname()[1], echo.getsockname()[1]))
    for w in workers:
        w.join(max(1, deadline - time.time()))
    publish(resultfile, "\n".join(sorted(results)))
    os._exit(0)

if mode == "http":
    root, portfile = sys.argv[2], sys.argv[3]

    class Handler(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, directory=root, **kwargs)

        def log_message(self, *args):
            pass

        def do_GET(self):
            if self.path.startswith("/echo/"):
                body = self.path.encode()
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)
            elif self.path == "/stream":
                # No length given: the body ends when the connection closes.
                self.send_response(200)
                self.end_headers()
                chunk, left = b"s" * 65536, CAP + 1
                try:
                    while left > 0:
                        self.wfile.write(chunk[:min(left, len(chunk))])
                        left -= len(chunk)
                except OSError:
                    pass
                self.close_connection = True
            else:
                super().do_GET()

    class Server(http.server.ThreadingHTTPServer):
        daemon_threads = True

        def handle_error(self, request, client_address):
            pass  # clients that give up early (the size cap) are expected

    server = Server(("127.0.0.1", 0), Handler)
    hang = socket.socket()  # accepts nothing: every request to it waits
    hang.bind(("127.0.0.1", 0))
    hang.listen(1024)
    gone = socket.socket()
    gone.bind(("127.0.0.1", 0))
    closed_port = gone.getsockname()[1]
    gone.close()
    publish(portfile, "%d %d %d" % (server.server_address[1], hang.getsockname()[1], closed_port))
    server.serve_forever()
PY

net_free_port() {  # STREAM or DGRAM
    python3 -c 'import socket,sys; s=socket.socket(socket.AF_INET6, getattr(socket, "SOCK_" + sys.argv[1])); s.bind(("::", 0)); print(s.getsockname()[1])' "$1"
}
net_wait_file() {
    for _ in $(seq 600); do [ -s "$1" ] && return 0; sleep 0.1; done
    return 1
}
net_run() {  # machine folder; output to stdout
    timeout 150 "$1/orvalune" -x -home "$1/home" 2>&1
}

# Lua helpers shared by the scripts below. Frames may run unpaced, so waits count seconds
# of the host clock: until calls f every frame until its first result is not nil, for at most
# the given seconds; wait does so for a minute; say prints its arguments on one line, and n
# prints a count.
net_lua_helpers='
local function until_(f, seconds)
  local last, passed = date("%S"), 0
  while passed < seconds do
    local r = table.pack(f())
    if r[1] ~= nil then return table.unpack(r, 1, r.n) end
    flip()
    local now = date("%S")
    if now ~= last then last, passed = now, passed + 1 end
  end
  return "timeout"
end
local function wait(f) return until_(f, 60) end
local function say(...)
  local t = table.pack(...)
  for i = 1, t.n do t[i] = tostring(t[i]) end
  printh(table.concat(t, " "))
end
local function n(v) return string.format("%d", v) end'

# --- sockets against a python3 peer ------------------------------------------------------------
m=$(machine net_python)
lua_tcp=$(net_free_port STREAM)
lua_udp=$(net_free_port DGRAM)
python3 "$net_peer" sock "$lua_tcp" "$lua_udp" "$work/sock_ports" "$work/sock_results" &
sock_peer=$!
net_wait_file "$work/sock_ports"
read -r py_tcp py_udp < "$work/sock_ports"
image_from_scripts "$m" "boot.lua=$net_lua_helpers
local u = _create_udp_socket($lua_udp, '*')
local c1, a1, p1 = wait(function() return _accept_socket(u) end)
say('udp child:', math.type(c1), a1, math.type(p1))
say('udp reads:', _read_socket(c1), _read_socket(c1))
local c2, a2, p2 = wait(function() return _accept_socket(u) end)
say('udp other sender:', wait(function() return _read_socket(c2) end), p2 ~= p1)
say('udp reply sent:', _write_socket(c1, 'got it'))

local l = _create_tcp_socket($lua_tcp, '*')
say('listener:', math.type(l), _sock_status(l))
local a, addr, port = wait(function() return _accept_socket(l) end)
say('accepted:', math.type(a), addr, math.type(port))
say('nothing waiting:', _read_socket(a))
say('wrote:', _write_socket(a, 'hello lua'))
say('read:', wait(function() return _read_socket(a) end))
say('empty write:', _write_socket(a, ''))
_write_socket(a, 'bye')
say('peer closed:', wait(function() local d, e = _read_socket(a) if e ~= 'errno 11' then return tostring(d), e end end))
flip()
say('next frame:', _sock_status(a), _read_socket(a))
local b, baddr = wait(function() return _accept_socket(l) end)
say('accepted over ::1:', baddr)
_write_socket(b, 'ok')

local t = _create_tcp_socket($py_tcp, '127.0.0.1')
say('client:', math.type(t), _sock_status(t))
say('client read:', wait(function() return _read_socket(t) end))
_write_socket(t, 'ping2')
say('client echo:', wait(function() return _read_socket(t) end))

local uc = _create_udp_socket($py_udp, '::1')
say('udp client wrote:', _write_socket(uc, 'hi'))
say('udp client read:', wait(function() return _read_socket(uc) end))
for i = 1, 10 do flip() end
_signal(33)
while true do flip() end"
out=$(net_run "$m"); rc=$?
net_wait_file "$work/sock_results"
kill "$sock_peer" 2>/dev/null; wait "$sock_peer" 2>/dev/null
res=$(cat "$work/sock_results" 2>/dev/null)
net_has() { echo "$out" | grep -qxF -- "$1"; }
check "sockets: the run ends by itself" $([ $rc = 0 ]; echo $?)
check "udp: a child per sender, reading its datagrams in order" $(net_has "udp child: float ::ffff:127.0.0.1 integer" && net_has "udp reads: d1 d2" && net_has "udp other sender: e1 true"; echo $?)
check "udp: a child's write reaches its sender" $(net_has "udp reply sent: 6" && echo "$res" | grep -qxF "python udp reply: got it"; echo $?)
check "tcp listener accepts with the peer's address text" $(net_has "listener: integer listening" && net_has "accepted: float ::ffff:127.0.0.1 integer" && net_has "accepted over ::1: ::1"; echo $?)
check "tcp: nothing waiting gives errno 11" $(net_has "nothing waiting: nil errno 11"; echo $?)
check "tcp: reads and writes both ways" $(net_has "wrote: 9" && net_has "read: ping" && echo "$res" | grep -qxF "python got: hello lua|bye" && echo "$res" | grep -qxF "python over ::1 got: ok"; echo $?)
check "tcp: an empty write is refused" $(net_has "empty write: nil no data to send"; echo $?)
check "tcp: a closed peer, then the id is gone" $(net_has "peer closed: nil connection closed by peer" && net_has "next frame: nil"; echo $?)
check "tcp client to a python server" $(net_has "client: integer ready" && net_has "client read: hello from python" && net_has "client echo: echo:ping2"; echo $?)
check "udp client to a python echo on ::1" $(net_has "udp client wrote: 2" && net_has "udp client read: udp echo:hi"; echo $?)
check "socket events and errors are logged" $(grep -qF "socket error: errno 11" "$m/home/log.txt" && grep -qF "created udp listener" "$m/home/log.txt" && grep -qE "^.*\[socket\] fd:[0-9]+ \([0-9]+\) accepted tcp socket" "$m/home/log.txt"; echo $?)

# --- sockets between two processes of one run -------------------------------------------------
m=$(machine net_processes)
two_tcp=$(net_free_port STREAM)
two_udp=$(net_free_port DGRAM)
image_from_scripts "$m" "boot.lua=
_create_process_from_code(fetch('/system/server.lua'), 'server', '/system/server.lua')
_create_process_from_code(fetch('/system/client.lua'), 'client', '/system/client.lua')
for frame = 1, 3600 do
  for _, p in ipairs(_get_process_list()) do
    if p.id ~= 1 then _run_process_slice(p.id, 0.4) end
  end
  if _process_state(2) < 0 then break end
  flip()
end
_signal(33)
while true do flip() end" "server.lua=$net_lua_helpers
local l = _create_tcp_socket($two_tcp, '*')
local u = _create_udp_socket($two_udp, '*')
say('server owns:', n(stat(41)))
local a, addr = wait(function() return _accept_socket(l) end)
say('server accepted:', addr)
say('server read:', wait(function() return _read_socket(a) end))
_write_socket(a, 'from server')
local c, caddr = wait(function() return _accept_socket(u) end)
say('server udp:', caddr, wait(function() return _read_socket(c) end))
_write_socket(c, 'udp from server')
say('server counts:', n(stat(41)), n(stat(43)))
say('server sees:', wait(function() local d, e = _read_socket(a) if e ~= 'errno 11' then return tostring(d), e end end))
flip()
say('after the client left:', n(stat(40)), n(stat(41)), n(stat(42)))" "client.lua=$net_lua_helpers
local t = wait(function() return _create_tcp_socket($two_tcp, '::1') end)
say('client on the server listener:', select('#', _sock_status(1)), select('#', _accept_socket(1)), select('#', _close_socket(1)))
_write_socket(t, 'from client')
say('client read:', wait(function() return _read_socket(t) end))
local u = _create_udp_socket($two_udp, '127.0.0.1')
_write_socket(u, 'dgram')
say('client udp read:', wait(function() return _read_socket(u) end))
say('client counts:', n(stat(40)), n(stat(41)))
for i = 1, 5 do flip() end"
out=$(net_run "$m"); rc=$?
check "two processes: the run ends by itself" $([ $rc = 0 ]; echo $?)
check "two processes: a socket id of another process is unknown" $(net_has "client on the server listener: 0 0 0"; echo $?)
check "two processes: tcp both ways" $(net_has "server owns: 2" && net_has "server accepted: ::1" && net_has "server read: from client" && net_has "client read: from server"; echo $?)
check "two processes: udp both ways" $(net_has "server udp: ::ffff:127.0.0.1 dgram" && net_has "client udp read: udp from server"; echo $?)
check "two processes: socket counts per owner" $(net_has "server counts: 4 1" && net_has "client counts: 6 2"; echo $?)
check "two processes: a freed process's sockets close" $(net_has "server sees: nil connection closed by peer" && net_has "after the client left: 3 3 1"; echo $?)

# --- downloads from python3's http.server --------------------------------------------------------
m=$(machine net_http)
www="$work/www"
mkdir -p "$www"
python3 -c 'import sys; open(sys.argv[1], "wb").write(b"line of the download test\n" * 200)' "$www/data.bin"
python3 -c 'import sys; open(sys.argv[1], "wb").write(b"\x89PNG\r\n\x1a\n" + bytes(600))' "$www/pic.bin"
truncate -s $((0x2000000 + 1)) "$www/big.bin"
python3 "$net_peer" http "$www" "$work/http_ports" &
http_peer=$!
net_wait_file "$work/http_ports"
read -r http_port hang_port closed_port < "$work/http_ports"
base="http://127.0.0.1:$http_port"
image_from_scripts "$m" "boot.lua=$net_lua_helpers
local function result(id)
  return until_(function()
    local r = table.pack(_fetch_remote_result(id))
    if r.n > 0 then return true, table.unpack(r, 1, r.n) end
  end, 90)
end
local function show(ok, ...) return ... end
local file = _fetch_remote('$base/data.bin')
say('job id:', math.type(file))
local body = show(result(file))
say('file:', #body, body == string.rep('line of the download test\n', 200))
say('closed port:', show(result(_fetch_remote('http://127.0.0.1:$closed_port/data.bin'))))
say('404:', show(result(_fetch_remote('$base/missing.bin'))))
say('over the cap:', show(result(_fetch_remote('$base/big.bin'))))
say('streamed over the cap:', show(result(_fetch_remote('$base/stream'))))
local sb = _create_process_from_code([[
printh('sandbox tcp: ' .. tostring((_create_tcp_socket($http_port, '127.0.0.1'))) .. ' ' .. select(2, _create_tcp_socket($http_port, '127.0.0.1')))
printh('sandbox udp: ' .. select(2, _create_udp_socket($http_port, '127.0.0.1')))
printh('sandbox download: ' .. tostring(_fetch_remote('$base/data.bin')) .. ' ' .. select(2, _fetch_remote('$base/data.bin')))
printh('sandbox result: ' .. select(3, _fetch_remote_result(1)))
]], 'cart', '/ram/cart.lua', 'bbs/cart')
for i = 1, 3 do _run_process_slice(sb, 1.0) end
say('unknown job:', _fetch_remote_result(999999))
say('escaped:', show(result(_fetch_remote('$base/echo/a b' .. string.char(0xc3, 0xa9) .. '?x=1&y=2'))))
say('png:', #show(result(_fetch_remote('$base/pic.bin'))))
_apply_system_settings({network_access = false})
say('no network:', _fetch_remote('$base/data.bin'))
say('no network result:', _fetch_remote_result(file))
_signal(33)
while true do flip() end"
out=$(net_run "$m"); rc=$?
check "downloads: the run ends by itself" $([ $rc = 0 ]; echo $?)
check "download of a file" $(net_has "job id: integer" && net_has "file: 5200 true"; echo $?)
check "download failures: closed port, 404, over the cap" $(net_has "closed port: nil nil could not download" && net_has "404: nil nil could not download" && net_has "over the cap: nil nil could not download" && net_has "streamed over the cap: nil nil download too large for the memory limit"; echo $?)
check "download: a sandbox gets no socket and no download" $(net_has "sandbox tcp: nil can not create socket while sandboxed" && net_has "sandbox udp: can not create socket while sandboxed" && net_has "sandbox download: nil no network access" && net_has "sandbox result: no network access"; echo $?)
check "download: unknown job id" $(net_has "unknown job: nil nil job not found"; echo $?)
check "download: the url is escaped" $(net_has "escaped: /echo/a%20b%c3%a9?x=1&y=2"; echo $?)
check "download: a png is reported by the completion hook" $(net_has "png: 608" && net_has "** gurl_cb: ignoring invalid png download $base/pic.bin"; echo $?)
check "download: network access off" $(net_has "no network: nil no network access" && net_has "no network result: nil nil no network access"; echo $?)

# 257 jobs against an endpoint that never answers: the 257th finds its slot busy.
m=$(machine net_jobs)
image_from_scripts "$m" "boot.lua=$net_lua_helpers
local ok, last = 0, 0
for i = 1, 256 do
  local id = _fetch_remote('http://127.0.0.1:$hang_port/wait')
  if id > 0 then ok = ok + 1 last = id end
end
say('started:', ok, last)
say('257th:', _fetch_remote('http://127.0.0.1:$hang_port/wait'), _fetch_remote('http://127.0.0.1:$hang_port/wait'))
for i = 1, 3 do flip() end
say('first still running:', select('#', _fetch_remote_result(1)))
_signal(33)
while true do flip() end"
out=$(net_run "$m"); rc=$?
kill "$http_peer" 2>/dev/null; wait "$http_peer" 2>/dev/null
check "257 jobs: the run ends by itself" $([ $rc = 0 ]; echo $?)
check "257 jobs: 256 start, the 257th gives -1 twice" $(net_has "started: 256 256" && net_has "257th: -1 -1" && net_has "first still running: 0"; echo $?)
check "257 jobs: the busy slot is logged" $(grep -q "gurl_get: new_job() failed" "$m/home/log.txt"; echo $?)
