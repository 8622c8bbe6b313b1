"""SMTP sessions through the private Postfix in front of kelvantor: two
messages on one connection (one with headers, one without any header line)
and a third aborted with RSET after its recipients.  Prints one line per
reply, for comparing a filter on the fast path with one off it.
Usage: fast_path_smtp.py PORT"""
import smtplib
import sys
import time

port = int(sys.argv[1])
session = smtplib.SMTP("127.0.0.1", port, local_hostname="client.example",
                       source_address=("127.0.0.2", 0), timeout=30)
messages = [
    (["known@example.test", "unknown1@example.test", "bob@example.test"],
     "Subject: with headers\r\nX-One: 1\r\n\r\nbody\r\n"),
    (["alice@example.test", "unknown2@example.test"], "no header line at all\r\n"),
]
for rcpts, body in messages:
    code, _ = session.mail("sender@client.example")
    print(f"mail {code}")
    for address in rcpts:
        code, text = session.rcpt(address)
        print(f"rcpt {address} {code} {text.decode(errors='replace')}")
    started = time.monotonic()
    code, text = session.data(body)
    print(f"data {code} {text.decode(errors='replace').split(':')[0]}")
    print(f"data-seconds {time.monotonic() - started:.1f}", file=sys.stderr)
code, _ = session.mail("sender@client.example")
print(f"mail {code}")
for address in ["known@example.test", "unknown3@example.test"]:
    code, text = session.rcpt(address)
    print(f"rcpt {address} {code} {text.decode(errors='replace')}")
print(f"rset {session.rset()[0]}")
session.quit()
