"""A short tour of velmor, as an application would use it: every family through its core
module, its coroutine module and the synchronous facade velmor.sync."""
import asyncio
import base64
import importlib.util
import os

import velmor
import velmor.sync
from velmor.aes import core as aes
from velmor.hybrid import core as hybrid
from velmor.password import core as password
from velmor.quantum import core as quantum
from velmor.rsa import core as rsa

print("velmor", velmor.__version__)

# --- AES-256-GCM under a key text: a passphrase, or the Base64 text of a raw 32-byte key -----
for key in ["correct horse battery staple", base64.b64encode(os.urandom(32)).decode()]:
    token = aes.encrypt_str("attack at dawn", key)
    print("aes text     :", token[:24] + "...", "->", aes.decrypt_str(token, key))
blob = aes.encrypt_bytes(b"\x00\x01 raw bytes", "k")
print("aes bytes    :", len(blob), "bytes ->", aes.decrypt_bytes(blob, "k"))

# --- RSA-4096: PEM key texts, OAEP for short data, the hybrid envelope for long data ---------
private_pem, public_pem = rsa.new_key_pair()
short = rsa.encrypt_bytes(b"short secret", public_pem)            # one 512-byte RSA-OAEP block
long = hybrid.encrypt_str("a long letter " * 1000, public_pem)    # hybrid envelope, Base64 text
print("rsa block    :", len(short), "bytes ->", rsa.decrypt_bytes(short, private_pem))
print("hybrid       :", len(long), "chars ->", hybrid.decrypt_str(long, private_pem)[:28] + "...")
signature = rsa.sign_str("I agree", private_pem)                  # RSA-PSS, Base64 text
print("rsa signature:", rsa.verify_str("I agree", signature, public_pem),
      rsa.verify_str("I disagree", signature, public_pem))

# --- Password records: PBKDF2-HMAC-SHA-512 into a JSON record --------------------------------
record = password.hash_password("s3cret")
print("password     :", len(record), "chars;", password.verify_password("s3cret", record),
      password.verify_password("wrong", record), "| rehash a 1000-round record:",
      password.needs_rehash(password.hash_password("s3cret", 1000)))

# --- Post-quantum: needs the liboqs binding `oqs` (pip install 'velmor[quantum]') ------------
if importlib.util.find_spec("oqs") is None:
    print("quantum      : skipped, the liboqs binding `oqs` is not installed")
else:
    public_key, secret_key = quantum.generate_keypair()           # generation 8: X25519 + ML-KEM
    capsule, message = quantum.encrypt("post-quantum hello", public_key)
    print("quantum      :", len(capsule) + len(message), "bytes ->",
          quantum.decrypt(message, secret_key, capsule))
    sig_public, sig_secret = quantum.generate_signature_keypair()  # ML-DSA
    sig = quantum.sign(b"statement", sig_secret)
    print("pq signature :", quantum.verify(b"statement", sig, sig_public))


# --- The same operations as coroutines, run on a worker thread --------------------------------
async def coroutines():
    token = await velmor.aes.encrypt("from a coroutine", "k")
    envelope = await velmor.hybrid.encrypt_bytes(b"bytes in an envelope", public_pem)
    record = await velmor.password.hash("s3cret", 1000)
    return (await velmor.aes.decrypt(token, "k"),
            await velmor.hybrid.decrypt_bytes(envelope, private_pem),
            await velmor.password.verify("s3cret", record))

print("coroutines   :", asyncio.run(coroutines()))

# --- The synchronous facade: short names over the same core functions -------------------------
facade = velmor.sync
token = facade.aes.encrypt("through the facade", "k")
print("facade       :", facade.aes.decrypt(token, "k"),
      facade.rsa.verify("I agree", signature, public_pem),
      facade.aes.encrypt is aes.encrypt_str)

# --- Every failure the library reports is a VelMorError ---------------------------------------
for attempt in [lambda: aes.decrypt_str(aes.encrypt_str("secret", "right key"), "wrong key"),
                lambda: aes.encrypt_str("", "k"),
                lambda: rsa.encrypt_bytes(b"x", "not a key")]:
    try:
        attempt()
    except velmor.VelMorError as e:
        print("refused      :", type(e).__name__, "-", str(e)[:70])
