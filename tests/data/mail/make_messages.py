#!/usr/bin/env python3
"""Writes the test messages of this folder, as real clients write them.

Run once from this folder; the results are committed. Messages are built with Python's email
package (CR LF line ends, as they travel in SMTP); boundaries and dates are fixed so that a
second run gives the same bytes. The encrypted archive is made with the zip tool (zip -P).
"""
import io
import os
import random
import subprocess
import tempfile
import zipfile
import binascii
from email.message import EmailMessage
from email import policy

DATE = "Tue, 02 Jun 2026 10:00:00 +0000"


def pdf_bytes():
    body = b"%PDF-1.4\n1 0 obj<</Type/Catalog>>endobj\n" + bytes(range(256)) * 8 + b"\n%%EOF\n"
    return body


def zip_bytes(members):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in members:
            z.writestr(name, data)
    return buf.getvalue()


def encrypted_zip_bytes():
    with tempfile.TemporaryDirectory() as d:
        with open(os.path.join(d, "secret.txt"), "wb") as f:
            f.write(b"the secret plans\n")
        subprocess.run(["zip", "-q", "-P", "pw", "enc.zip", "secret.txt"], cwd=d, check=True)
        with open(os.path.join(d, "enc.zip"), "rb") as f:
            return f.read()


def new_message(subject, to="Bob <bob@example.test>"):
    m = EmailMessage()
    m["From"] = "Alice Sender <alice@sender.test>"
    m["To"] = to
    m["Cc"] = "carol@example.test"
    m["Subject"] = subject
    m["Date"] = DATE
    m["Message-ID"] = "<" + subject.replace(" ", "-").lower() + "@sender.test>"
    return m


def write(name, message):
    data = message.as_bytes(policy=policy.SMTP)
    with open(name, "wb") as f:
        f.write(data)


def main():
    random.seed(4)  # the email package draws its boundaries from `random`

    m = new_message("Quarterly Report")
    m.set_content("Hello Bob,\n\nthe report is attached.\n\nAlice\n")
    m.add_attachment(pdf_bytes(), maintype="application", subtype="pdf", filename="report.pdf")
    write("mixed-pdf.eml", m)

    m = new_message("Newsletter")
    m.set_content("Plain text version.\n")
    m.add_alternative("<html><body><p>HTML version.</p></body></html>\n", subtype="html")
    write("alternative.eml", m)

    m = new_message("Report With HTML")
    m.set_content("Plain text of the report mail.\n")
    m.add_alternative("<html><body><p>The report.</p></body></html>\n", subtype="html")
    m.add_attachment(pdf_bytes(), maintype="application", subtype="pdf", filename="report.pdf")
    write("alternative-pdf.eml", m)

    inner = EmailMessage()
    inner.set_content("Inner text.\n")
    inner.add_attachment(b"inner attachment\n", maintype="text", subtype="plain",
                         filename="inner.txt")
    m = new_message("Nested Multipart")
    m.set_content("Outer text.\n")
    m.make_mixed()
    m.attach(inner)
    m.add_attachment(b"\x00\x01binary\xff", maintype="application", subtype="octet-stream",
                     filename="data.bin")
    write("nested-multipart.eml", m)

    m = new_message("Quoted Printable")
    m.set_content("Gr\u00fc\u00dfe aus K\u00f6ln, a line that is long enough to be folded by "
                  "the quoted-printable encoder of the mail client = sign.\n",
                  cte="quoted-printable")
    write("quoted-printable.eml", m)

    m = new_message("Archives")
    m.set_content("Three archives.\n")
    m.add_attachment(zip_bytes([("a.txt", b"member a\n"), ("sub/b.txt", b"member b\n")]),
                     maintype="application", subtype="zip", filename="docs.ZIP")
    inner_zip = zip_bytes([("deep.txt", b"deep member\n")])
    m.add_attachment(zip_bytes([("inner.zip", inner_zip), ("top.txt", b"top member\n")]),
                     maintype="application", subtype="zip", filename="nested.zip")
    m.add_attachment(encrypted_zip_bytes(), maintype="application", subtype="zip",
                     filename="secret.zip")
    write("archives.eml", m)

    # A uuencoded message as old clients send it: text, then begin/end blocks.
    lines = ["From: Dave <dave@old.test>", "To: bob@example.test", "Subject: Uuencoded",
             "Date: " + DATE, "", "Two files follow.", ""]
    for name, data in [("notes.txt", b"uuencoded notes\n" * 5), ("tiny.bin", b"\x00\x01\x02")]:
        lines.append("begin 644 " + name)
        for i in range(0, len(data), 45):
            lines.append(binascii.b2a_uu(data[i:i + 45]).decode().rstrip("\n"))
        lines += ["`", "end", ""]
    with open("uuencoded.eml", "wb") as f:
        f.write("\r\n".join(lines).encode())


# Malformed messages, written by hand: each file is named after what it tests.
MALFORMED = {
    "no-closing-boundary.eml": [
        "MIME-Version: 1.0", 'Content-Type: multipart/mixed; boundary="b1"', "", "--b1",
        "Content-Type: text/plain", "", "the text", "--b1",
        'Content-Type: application/octet-stream; name="cut.exe"',
        "Content-Transfer-Encoding: base64", "", "TVqQAAMAAAAEAAAA"],
    "boundary-missing.eml": [
        "MIME-Version: 1.0", "Content-Type: multipart/mixed", "", "--b1",
        "Content-Type: text/plain", "", "text", "--b1--", ""],
    "boundary-unquoted.eml": [
        "MIME-Version: 1.0", "Content-Type: Multipart/Mixed;", "\tBoundary=plain-b ", "",
        "--plain-b", "Content-Type: text/plain", "", "unquoted text", "--plain-b",
        "Content-Type: text/html (a comment; name=x)", "", "<p>html</p>", "--plain-b--", ""],
    "base64-garbage.eml": [
        "MIME-Version: 1.0", 'Content-Type: multipart/mixed; boundary="g"', "", "--g",
        "Content-Type: text/plain", "", "body", "--g",
        'Content-Type: application/octet-stream; name="g.bin"',
        "Content-Transfer-Encoding: base64", "", "QU!J*D\tRA=", "=#@", "--g--", ""],
    "qp-equals-at-end.eml": [
        "MIME-Version: 1.0", "Content-Type: text/plain",
        "Content-Transfer-Encoding: quoted-printable", "", "caf=C3=A9 and then=" ],
    "uu-without-end.eml": [
        "Subject: cut uuencoded", "", "text before", "begin 644 cut.txt",
        "#0V%T", ""],
}


def write_malformed():
    for name, lines in MALFORMED.items():
        with open(name, "wb") as f:
            f.write("\r\n".join(lines).encode())


if __name__ == "__main__":
    main()
    write_malformed()
