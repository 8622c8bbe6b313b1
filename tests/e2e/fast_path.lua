-- miltertest script: kelvantor with MilterFastPath:yes as an independent
-- milter client sees it.  The filter asks for no HELO, MAIL, headers, end of
-- headers or body; two messages on one connection get their recipients
-- judged (a known user continues, an unknown one is rejected) and are
-- accepted at DATA; a third is aborted after its recipients.
-- Run with: miltertest -D sock=SPEC -s fast_path.lua

local function fail(message)
    mt.echo("FAIL: " .. message)
    error(message)
end

local function expect(label, got, wanted)
    if got ~= wanted then
        fail(label .. ": reply " .. string.char(got) .. ", expected " .. string.char(wanted))
    end
    mt.echo("ok: " .. label)
end

local conn = mt.connect(sock, 20, 0.1)
if conn == nil then fail("cannot connect to " .. sock) end
mt.macro(conn, SMFIC_CONNECT, "{daemon_name}", "mx-in")
if mt.conninfo(conn, "client.example", "127.0.0.2") ~= nil then fail("mt.conninfo failed") end
expect("connect", mt.getreply(conn), SMFIR_CONTINUE)
for _, option in ipairs({SMFIP_NOHELO, SMFIP_NOMAIL, SMFIP_NOHDRS, SMFIP_NOEOH, SMFIP_NOBODY}) do
    if not mt.test_option(conn, option) then fail("stage not negotiated away: " .. option) end
end
mt.echo("ok: stages negotiated away")

local function rcpt(address, wanted)
    mt.macro(conn, SMFIC_RCPT, "{rcpt_addr}", address)
    if mt.rcptto(conn, "<" .. address .. ">") ~= nil then fail("mt.rcptto failed") end
    expect("rcpt " .. address, mt.getreply(conn), wanted)
end

-- MAIL is negotiated away: miltertest refuses to send it.
for message = 1, 2 do
    rcpt("known@example.test", SMFIR_CONTINUE)
    rcpt("unknown" .. message .. "@example.test", SMFIR_REPLYCODE)
    rcpt("bob@example.test", SMFIR_CONTINUE)
    if mt.data(conn) ~= nil then fail("mt.data failed") end
    expect("data of message " .. message, mt.getreply(conn), SMFIR_ACCEPT)
end

rcpt("alice@example.test", SMFIR_CONTINUE)
if mt.abort(conn) ~= nil then fail("mt.abort failed") end
mt.echo("ok: abort after the recipients")
mt.disconnect(conn)
