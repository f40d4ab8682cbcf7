# Written by scripts/make_stubs.py from the installed package (make stubs): do not edit.

from enum import IntEnum

class QuantumGeneration(IntEnum):
    GEN1 = 1
    GEN2 = 2
    GEN3 = 3
    GEN4 = 4
    GEN5 = 5
    GEN6 = 6
    GEN7 = 7
    GEN8 = 8

class QuantumStrength(IntEnum):
    STANDARD = 0
    MEDIUM = 1
    HIGHEST = 2

class SignatureAlgorithm(IntEnum):
    ML_DSA = 1
    SLH_DSA = 2
