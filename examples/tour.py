"""A short tour of velmor, as an application would use it."""
import asyncio
import base64
import os

import velmor
from velmor.aes import core as aes

print("velmor", velmor.__version__)

# AES-256-GCM under a key text: a passphrase, or the Base64 text of a raw 32-byte key.
for key in ["correct horse battery staple", base64.b64encode(os.urandom(32)).decode()]:
    token = aes.encrypt_str("attack at dawn", key)
    print("aes text  :", token[:24] + "...", "->", aes.decrypt_str(token, key))
blob = aes.encrypt_bytes(b"\x00\x01 raw bytes", "k")
print("aes bytes :", len(blob), "bytes ->", aes.decrypt_bytes(blob, "k"))

# The same operations as coroutines, run on a worker thread.
async def main():
    token = await velmor.aes.encrypt("from a coroutine", "k")
    return await velmor.aes.decrypt(token, "k")

print("aes async :", asyncio.run(main()))

# Every failure the library reports is a VelMorError.
try:
    aes.decrypt_str(aes.encrypt_str("secret", "right key"), "wrong key")
except velmor.DecryptionError as e:
    print("wrong key :", type(e).__name__, "-", e)
try:
    aes.encrypt_str("", "k")
except velmor.InvalidInputError as e:
    print("empty     :", type(e).__name__, "-", e)
