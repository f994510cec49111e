#!/usr/bin/env python3
"""Writes the messages the sweeper tests walk the rules over, as real clients write them.

Run once from this folder; the results are committed. Built with Python's email package (CR LF
line ends, as they travel in SMTP) with fixed boundaries and dates, so a second run gives the
same bytes.
"""
import base64
import io
import os
import zipfile
from email.message import EmailMessage
from email import policy

DATE = "Mon, 07 Dec 2026 09:00:00 +0000"


def base(subject, to="bob@example.com", msgid="sweep"):
    m = EmailMessage(policy=policy.SMTP)
    m["From"] = "Eve Outside <eve@outside.test>"
    m["To"] = to
    m["Subject"] = subject
    m["Date"] = DATE
    m["Message-ID"] = "<%s@outside.test>" % msgid
    return m


def zip_bytes(members):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in members:
            z.writestr(name, data)
    return buf.getvalue()


def write(name, m, boundary="=_sweeper_boundary_="):
    if m.is_multipart():
        m.set_boundary(boundary)
    with open(name, "wb") as f:
        f.write(m.as_bytes())


def main():
    m = base("Tools you asked for", msgid="exe")
    m.set_content("Here are the tools.\r\n")
    m.add_attachment(b"MZ\x90\x00fake program", maintype="application",
                     subtype="octet-stream", filename="setup.exe")
    m.add_attachment(b"read me first\r\n", maintype="text", subtype="plain",
                     filename="readme.txt")
    write("exe-and-text.eml", m)

    m = base("Plain note", msgid="plain")
    m.set_content("Please send the SECRET figures by Friday.\r\n.hidden line\r\n")
    write("plain.eml", m)

    m = base("Newsletter", msgid="html")
    m.set_content("Plain version.\r\n")
    m.add_alternative("<html><body><p>HTML version.</p></body></html>\r\n", subtype="html")
    write("html-alternative.eml", m)

    m = base("Archive inside", msgid="zip")
    m.set_content("See the archive.\r\n")
    m.add_attachment(zip_bytes([("a.txt", b"alpha\n"), ("b.txt", b"bravo\n")]),
                     maintype="application", subtype="zip", filename="docs.zip")
    write("zipped.eml", m)

    m = base("Big report", msgid="big")
    m.set_content("The report is attached.\r\n")
    report = "".join("row %d of the quarterly figures, all in order\n" % (i % 50)
                     for i in range(2000)).encode()
    m.add_attachment(report, maintype="text", subtype="plain", filename="report.txt")
    write("compressible.eml", m)


# Ways of hiding an attachment's name, its part or a keyword from the checks, one message per
# trick in tricks/, written byte by byte as hostile senders write them (CR LF line ends).
# Every one must be caught by a rule with BlockFileTypes=exe or BlockKeywords=casino;
# control.eml must pass both.
PROGRAM = base64.b64encode(b"MZ\x90\x00fake program").decode()
B64_TEXT = base64.b64encode(b"Win big at the best CASINO in town.\r\n").decode()


def raw(headers, body, subject="Hello", mime=True):
    lines = ["From: Eve Outside <eve@outside.test>", "To: bob@example.com",
             "Subject: " + subject if subject is not None else None, "Date: " + DATE,
             "Message-ID: <trick@outside.test>", "MIME-Version: 1.0" if mime else None]
    lines = [l for l in lines if l is not None] + headers
    return "\r\n".join(lines) + "\r\n\r\n" + body


def part(headers, data):
    return "\r\n".join(headers) + "\r\n\r\n" + data + "\r\n"


def multipart(boundary, parts, subtype="mixed"):
    """The Content-Type line and the body of a multipart with these parts."""
    body = "This is a multi-part message in MIME format.\r\n"
    for p in parts:
        body += "--" + boundary + "\r\n" + p
    body += "--" + boundary + "--\r\n"
    return 'Content-Type: multipart/%s; boundary="%s"' % (subtype, boundary), body


def text_part(text="See the attachment.\r\n"):
    return part(["Content-Type: text/plain; charset=us-ascii"], text)


def program_part(*headers):
    return part(list(headers) + ["Content-Transfer-Encoding: base64"], PROGRAM)


def mixed_message(boundary, *parts, **kw):
    ctype, body = multipart(boundary, [text_part()] + list(parts))
    return raw([ctype], body, **kw)


def inner_message(boundary, attachment):
    """A forwarded mail: a whole message with its own attachment."""
    ctype, body = multipart(boundary, [text_part("Forwarded.\r\n"), attachment])
    return raw([ctype], body, subject="Fwd: tools")


def message_part(message):
    return part(["Content-Type: message/rfc822", "Content-Disposition: attachment"], message)


def tricks():
    t = {}
    octet = "Content-Type: application/octet-stream"
    t["name-rfc2047-b.eml"] = mixed_message(
        "b1", program_part(octet + '; name="=?UTF-8?B?ZXZpbC5leGU=?="'))
    t["name-rfc2047-q.eml"] = mixed_message(
        "b1", program_part(octet + '; name="=?iso-8859-1?q?evil=2Eexe?="'))
    t["name-rfc2047-split.eml"] = mixed_message(
        "b1", program_part(octet + ';\r\n name="=?UTF-8?B?ZXZp?=\r\n =?UTF-8?B?bC5l?= =?utf-8?Q?xe?="'))
    t["filename-rfc2047-b.eml"] = mixed_message(
        "b1", program_part(octet, 'Content-Disposition: attachment; filename="=?utf-8?b?ZXZpbC5leGU=?="'))
    t["name-rfc2231.eml"] = mixed_message(
        "b1", program_part(octet + "; name*=UTF-8''evil.exe"))
    t["name-rfc2231-continued.eml"] = mixed_message(
        "b1", program_part(octet + ";\r\n name*0*=UTF-8''ev%69l;\r\n name*1*=%2E;\r\n name*2=exe"))
    t["filename-rfc2231.eml"] = mixed_message(
        "b1", program_part(octet, "Content-Disposition: attachment; filename*=utf-8'en'evil%2Eexe"))
    t["filename-rfc2231-continued.eml"] = mixed_message(
        "b1", program_part(octet, "Content-Disposition: attachment;\r\n"
                                  " filename*0*=iso-8859-1''%65vil;\r\n filename*1=\".exe\""))
    t["disposition-name-wins.eml"] = mixed_message(
        "b1", program_part(octet + '; name="readme.txt"',
                           'Content-Disposition: attachment; filename="evil.exe"'))
    t["name-trailing-dot.eml"] = mixed_message("b1", program_part(octet + '; name="evil.exe."'))
    t["name-long.eml"] = mixed_message("b1", program_part(octet + '; name="%s.exe"' % ("a" * 300)))
    t["decoy-content-type.eml"] = mixed_message(
        "b1", program_part("X-Original-Content-Type: text/plain", octet + '; name="evil.exe"'))

    ctype, body = multipart("b2", [text_part("Inner text.\r\n"),
                                   program_part(octet + '; name="evil.exe"')])
    t["nested-multipart.eml"] = mixed_message("b1", part([ctype], body))
    ctype, inner = multipart("b3", [program_part(octet + '; name="evil.exe"')])
    ctype, body = multipart("b2", [text_part("Plain.\r\n"), part([ctype], inner)], "alternative")
    t["nested-alternative.eml"] = mixed_message("b1", part([ctype], body))
    t["attached-message.eml"] = mixed_message(
        "b1", message_part(inner_message("f1", program_part(octet + '; name="evil.exe"'))))
    forwarded = inner_message("f1", program_part(octet + '; name="evil.exe"')).replace("\r\n", "\n")
    t["attached-message-base64-lf.eml"] = mixed_message("b1", part(
        ["Content-Type: message/rfc822", "Content-Transfer-Encoding: base64"],
        base64.encodebytes(forwarded.encode()).decode().replace("\n", "\r\n")))
    t["single-part-message.eml"] = raw(
        ["Content-Type: message/rfc822"],
        inner_message("f1", program_part(octet + '; name="evil.exe"')))
    deepest = message_part(inner_message("f3", program_part(octet + '; name="evil.exe"')))
    ctype, middle = multipart("f2", [text_part("Middle.\r\n"), deepest])
    middle_message = raw([ctype], middle, subject="Fwd: Fwd: tools")
    t["message-in-mixed-in-message.eml"] = mixed_message("b1", message_part(middle_message))

    ctype, body = multipart("b1", [text_part(), program_part(octet + '; name="evil.exe"')])
    t["no-mime-version.eml"] = raw([ctype], body, mime=False)
    t["mime-version-unspaced.eml"] = raw(["MIME-Version:1.0", ctype], body, mime=False)
    t["subject-folded.eml"] = raw(["Content-Type: text/plain"], "Nothing here.\r\n",
                                  subject="best\r\n casino")
    t["subject-rfc2047-b.eml"] = raw(["Content-Type: text/plain"], "Nothing here.\r\n",
                                     subject="=?UTF-8?B?YmVzdCBjYXNpbm8=?=")
    t["body-base64-no-content-type.eml"] = raw(["Content-Transfer-Encoding: base64"],
                                               B64_TEXT + "\r\n")
    t["body-base64-html.eml"] = raw(["Content-Type: text/html; charset=utf-8",
                                     "Content-Transfer-Encoding: base64"], B64_TEXT + "\r\n")
    ctype, body = multipart("b1", [part(["Content-Type: text/html; charset=utf-8",
                                         "Content-Transfer-Encoding: base64"], B64_TEXT)],
                            "alternative")
    t["body-base64-html-only-part.eml"] = raw([ctype], body)
    t["control.eml"] = mixed_message(
        "b1", program_part(octet + '; name="=?UTF-8?B?cmVhZG1lLnR4dA==?="'))
    os.makedirs("tricks", exist_ok=True)
    for name, text in t.items():
        with open(os.path.join("tricks", name), "wb") as f:
            f.write(text.encode())


if __name__ == "__main__":
    main()
    tricks()
