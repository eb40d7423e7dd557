#!/usr/bin/python3
"""Known answers for the stored password's schemes, computed independently of the code under test:
hashlib for the digests and PBKDF2, the openssl command for AES-256 (ECB of the counter blocks) and RC4.

Usage: password_kat.py ACCOUNT CLEAR SALT_A SALT_B SALT_C S1 S2 S3 S4
(salts as 24 hex digits; S1..S4 the random-number texts). Prints "name value" lines: the forms 1 to 7
and the protected registry values S1..S4.
"""
import hashlib
import subprocess
import sys


def u16(text):
    return text.encode("utf-16-le")


def aes_ecb(key, data):
    return subprocess.run(["openssl", "enc", "-aes-256-ecb", "-nopad", "-K", key.hex()], input=data,
                          capture_output=True, check=True).stdout


def ctr(key, data, start=15271):
    blocks = b"".join((start + i + 1).to_bytes(8, "little") + (start + i).to_bytes(8, "little")
                      for i in range((len(data) + 15) // 16))
    stream = aes_ecb(key, blocks) if blocks else b""
    return bytes(a ^ b for a, b in zip(data, stream))


def rc4(key, data):
    return subprocess.run(["openssl", "enc", "-rc4", "-K", key.hex(), "-provider", "legacy", "-provider", "default"],
                          input=data, capture_output=True, check=True).stdout


def pbkdf2(name, password, salt, iterations):
    return hashlib.pbkdf2_hmac(name, password, salt, iterations, 32)


def advanced(account, t1, t2, iterations):
    c1, c2 = len(t1), len(t2)
    h1 = u16(t1)[:c1].hex()
    h2 = u16(t2)[:c2].hex()
    salt = u16(h1)[:c1] + u16(h2)[:c2]
    return pbkdf2("sha256", u16(account), salt, iterations)


account, clear = sys.argv[1], sys.argv[2]
salt_a, salt_b, salt_c = (bytes.fromhex(s) for s in sys.argv[3:6])
s1, s2, s3, s4 = sys.argv[6:10]
data = u16(clear)
print("form1", rc4(hashlib.md5(u16(account)).digest()[:5] + bytes(11), data).hex())
print("form2", ctr(pbkdf2("sha1", u16(account), salt_a, 1137), data).hex())
print("form3", rc4(hashlib.sha256(u16(account)).digest()[:16], data).hex())
print("form4", ctr(pbkdf2("sha256", u16(account), salt_a, 1137), data).hex())
print("form5", ctr(advanced(account, s1, s2, 1137), data).hex())
print("form6", ctr(advanced(account, s3, s4, 5137), data).hex())
print("form7", data.hex())
key_b = pbkdf2("sha256", u16("mlq42"), salt_b, 1741)
key_c = pbkdf2("sha256", u16("mlq67"), salt_c, 5741)
for name, text, key in (("S1", s1, key_b), ("S2", s2, key_b), ("S3", s3, key_c), ("S4", s4, key_c)):
    print(name, ctr(key, u16(text)).hex())
