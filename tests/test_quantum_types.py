"""The integer enums of the post-quantum API behave as IntEnum class statements do."""

import enum
import pickle

import pytest

import velmor.quantum
from velmor.quantum import types
from velmor.quantum.types import QuantumGeneration, QuantumStrength, SignatureAlgorithm


def test_classes_are_int_enums_of_the_module():
    for cls in (QuantumGeneration, QuantumStrength, SignatureAlgorithm):
        assert cls.__bases__ == (enum.IntEnum,)
        assert type(cls) is enum.EnumType
        assert cls.__module__ == "velmor.quantum.types"
        assert cls.__qualname__ == cls.__name__
    assert types.IntEnum is enum.IntEnum
    assert not hasattr(types, "__all__")
    assert types.annotations.compiler_flag  # the __future__ feature object


@pytest.mark.parametrize(
    "cls, members",
    [
        (QuantumGeneration, [(f"GEN{i}", i) for i in range(1, 9)]),
        (QuantumStrength, [("STANDARD", 0), ("MEDIUM", 1), ("HIGHEST", 2)]),
        (SignatureAlgorithm, [("ML_DSA", 1), ("SLH_DSA", 2)]),
    ],
)
def test_members_in_order_without_aliases(cls, members):
    assert [(m.name, m.value) for m in cls] == members
    assert list(cls.__members__) == [name for name, _ in members]
    for name, value in members:
        member = cls(value)
        assert member is cls[name] is getattr(cls, name)
        assert member == value and int(member) == value and hash(member) == hash(value)
        assert type(member.value) is int


@pytest.mark.parametrize(
    "cls, value",
    [(QuantumGeneration, 0), (QuantumGeneration, 9), (QuantumStrength, 3), (QuantumStrength, -1),
     (SignatureAlgorithm, 0), (SignatureAlgorithm, 3)],
)
def test_unknown_value_raises_value_error(cls, value):
    with pytest.raises(ValueError, match=f"{value} is not a valid {cls.__name__}"):
        cls(value)


def test_members_select_integer_keyed_entries_and_pickle():
    table = {0: "a", 1: "b", 2: "c"}
    assert table[QuantumStrength.HIGHEST] == "c"
    assert QuantumGeneration.GEN1 is not QuantumGeneration.GEN2
    assert QuantumGeneration.GEN3 is not QuantumGeneration.GEN6
    assert QuantumGeneration["GEN5"].value == 5 and QuantumGeneration(5).name == "GEN5"
    assert pickle.loads(pickle.dumps(QuantumGeneration.GEN7)) is QuantumGeneration.GEN7
    assert repr(SignatureAlgorithm.SLH_DSA) == "<SignatureAlgorithm.SLH_DSA: 2>"


def test_star_import_and_reexport():
    namespace: dict = {}
    exec("from velmor.quantum.types import *", namespace)
    names = {k for k in namespace if k != "__builtins__"}
    assert names == {"IntEnum", "annotations", "QuantumGeneration", "QuantumStrength", "SignatureAlgorithm"}
    assert velmor.quantum.QuantumStrength is QuantumStrength
    assert velmor.quantum.QuantumGeneration is QuantumGeneration
    assert velmor.quantum.SignatureAlgorithm is SignatureAlgorithm
