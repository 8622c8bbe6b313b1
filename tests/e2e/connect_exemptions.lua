-- miltertest script: connect-time decisions of kelvantor as seen through
-- libmilter by an independent milter client.  Exempt clients (127.0.0.1, ::1,
-- an unknown address family, the MSA daemon in any case) are accepted at
-- connect; other clients continue, and so does a recipient of a domain that
-- has no route.  Run with: miltertest -D sock=SPEC -s connect_exemptions.lua

-- miltertest does not print the message of error(): echo it first.
local function fail(message)
    mt.echo("FAIL: " .. message)
    error(message)
end

-- One client connection: connect macros, connect info, expected reply.
local function expect_connect(label, daemon, ip, expected)
    local conn = mt.connect(sock, 20, 0.1)
    if conn == nil then
        fail(label .. ": cannot connect to " .. sock)
    end
    if daemon ~= nil then
        mt.macro(conn, SMFIC_CONNECT, "{daemon_name}", daemon)
    end
    if mt.conninfo(conn, "client.example", ip) ~= nil then
        fail(label .. ": mt.conninfo failed")
    end
    local reply = mt.getreply(conn)
    if reply ~= expected then
        fail(label .. ": connect reply " .. string.char(reply) .. ", expected " ..
              string.char(expected))
    end
    mt.echo("ok: " .. label .. " -> " .. string.char(reply))
    return conn
end

mt.disconnect(expect_connect("IPv4 loopback", "mx-in", "127.0.0.1", SMFIR_ACCEPT))
mt.disconnect(expect_connect("IPv6 loopback", "mx-in", "::1", SMFIR_ACCEPT))
mt.disconnect(expect_connect("unknown family", "mx-in", "unspec", SMFIR_ACCEPT))
mt.disconnect(expect_connect("daemon MSA", "MSA", "127.0.0.2", SMFIR_ACCEPT))
mt.disconnect(expect_connect("daemon msa", "msa", "192.0.2.7", SMFIR_ACCEPT))
mt.disconnect(expect_connect("127.0.0.2", "mx-in", "127.0.0.2", SMFIR_CONTINUE))
mt.disconnect(expect_connect("no daemon name", nil, "127.0.0.3", SMFIR_CONTINUE))
mt.disconnect(expect_connect("other IPv6", "mx-in", "2001:db8::1", SMFIR_CONTINUE))
mt.disconnect(expect_connect("daemon MSA2", "MSA2", "10.1.2.3", SMFIR_CONTINUE))

-- A continued client: a recipient of an unrouted domain continues too.
local conn = expect_connect("transaction", "mx-in", "127.0.0.2", SMFIR_CONTINUE)
if not mt.test_option(conn, SMFIP_NOHELO) then
    if mt.helo(conn, "client.example") ~= nil then
        fail("mt.helo failed")
    end
end
if mt.mailfrom(conn, "<sender@client.example>") ~= nil then
    fail("mt.mailfrom failed")
end
if mt.getreply(conn) ~= SMFIR_CONTINUE then
    fail("MAIL FROM not continued")
end
mt.macro(conn, SMFIC_RCPT, "{rcpt_addr}", "someone@unrouted.example")
if mt.rcptto(conn, "<someone@unrouted.example>") ~= nil then
    fail("mt.rcptto failed")
end
if mt.getreply(conn) ~= SMFIR_CONTINUE then
    fail("unrouted recipient not continued: " .. string.char(mt.getreply(conn)))
end
mt.echo("ok: unrouted recipient -> c")
mt.disconnect(conn)
