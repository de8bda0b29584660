#!/usr/bin/python3
"""A real SMTP server for the mail client's integration test, and a reader of what it received.

  smtp_sink.py serve FOLDER [CERT KEY [implicit]]
                              runs an aiosmtpd server on 127.0.0.1 on a port the system picks,
                              prints "PORT <n>", and writes every message it receives to
                              FOLDER/msg<k>.eml (the message text) and FOLDER/msg<k>.env (the
                              envelope, JSON). Every byte it receives (after decryption) is
                              appended to FOLDER/wire.log. With a certificate and its key it
                              offers STARTTLS and, on the secured connection only, AUTH LOGIN;
                              each login is written to FOLDER/auth<k>.json (login, password,
                              whether the connection was secured). With "implicit" the whole
                              connection is TLS from its first byte (as on port 465). It stops
                              when its standard input is closed.
  smtp_sink.py parse FILE     parses a received message with the email package and prints one
                              line "<key> <JSON value>" for each of: from_name, from_addr, to,
                              subject (decoded), date (seconds since the epoch), body, defects;
                              the JSON is UTF-8, not escaped to ASCII.
"""
import asyncio
import email
import email.policy
import email.utils
import json
import os
import socket
import sys
import threading


def serve(folder, cert=None, key=None, mode=None):
    import ssl
    from aiosmtpd.smtp import SMTP, AuthResult

    class RecordingSMTP(SMTP):
        def data_received(self, data):
            with open(os.path.join(folder, "wire.log"), "ab") as f:
                f.write(data)
            super().data_received(data)

    logins = []

    def authenticator(server, session, envelope, mechanism, auth_data):
        logins.append(1)
        with open(os.path.join(folder, "auth%d.json" % len(logins)), "w") as f:
            json.dump({"mechanism": mechanism,
                       "login": auth_data.login.decode("utf-8", "replace"),
                       "password": auth_data.password.decode("utf-8", "replace"),
                       "tls": session.ssl is not None
                       or server.transport.get_extra_info("ssl_object") is not None}, f)
        return AuthResult(success=True)

    options = {}
    server_ssl = None
    if cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(cert, key)
        if mode == "implicit":
            server_ssl = context
            options = {"authenticator": authenticator, "auth_require_tls": False}
        else:
            options = {"tls_context": context, "authenticator": authenticator}

    class Handler:
        def __init__(self):
            self.count = 0

        async def handle_DATA(self, server, session, envelope):
            self.count += 1
            base = os.path.join(folder, "msg%d" % self.count)
            with open(base + ".env", "w") as f:
                json.dump({"from": envelope.mail_from, "to": envelope.rcpt_tos}, f)
            with open(base + ".tmp", "wb") as f:
                f.write(envelope.content)
            os.rename(base + ".tmp", base + ".eml")
            return "250 Message accepted for delivery"

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.1", 0))
    sock.listen(8)
    handler = Handler()
    server = loop.run_until_complete(
        loop.create_server(
            lambda: RecordingSMTP(handler, decode_data=False, hostname="sink.test", **options),
            sock=sock, ssl=server_ssl
        )
    )
    print("PORT %d" % sock.getsockname()[1], flush=True)

    def wait_for_stdin_to_close():
        sys.stdin.buffer.read()
        loop.call_soon_threadsafe(loop.stop)

    threading.Thread(target=wait_for_stdin_to_close, daemon=True).start()
    loop.run_forever()
    server.close()


def parse(path):
    with open(path, "rb") as f:
        msg = email.message_from_bytes(f.read(), policy=email.policy.default)
    sender = msg["From"].addresses[0]
    fields = {
        "from_name": sender.display_name,
        "from_addr": sender.addr_spec,
        "to": [[a.display_name, a.addr_spec] for a in msg["To"].addresses],
        "subject": str(msg["Subject"]),
        "date": int(email.utils.parsedate_to_datetime(str(msg["Date"])).timestamp()),
        "body": msg.get_content(),
        "charset": msg.get_content_charset(),
        "cte": msg.get("Content-Transfer-Encoding", ""),
        "defects": [type(d).__name__ for d in msg.defects]
        + [type(d).__name__ for h in msg.values() for d in getattr(h, "defects", ())],
    }
    for key, value in fields.items():
        print(key, json.dumps(value, ensure_ascii=False))


if __name__ == "__main__":
    if len(sys.argv) in (3, 5, 6) and sys.argv[1] == "serve":
        serve(*sys.argv[2:])
    elif len(sys.argv) == 3 and sys.argv[1] == "parse":
        parse(sys.argv[2])
    else:
        sys.exit("usage: smtp_sink.py serve FOLDER | parse FILE")
