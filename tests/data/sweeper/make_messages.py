#!/usr/bin/env python3
"""Writes the messages the sweeper tests walk the rules over, as real clients write them.

Run once from this folder; the results are committed. Built with Python's email package (CR LF
line ends, as they travel in SMTP) with fixed boundaries and dates, so a second run gives the
same bytes.
"""
import io
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


if __name__ == "__main__":
    main()
