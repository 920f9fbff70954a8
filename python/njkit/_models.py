"""Model names: the canonical names the core knows, their common aliases and
the default model of each alphabet."""

CANONICAL = ("PDiff", "JukesCantor", "Kimura2P", "Poisson")

# Keys are lower case with "-", "_" and spaces removed, so that "p-distance",
# "Jukes_Cantor" and "kimura 2p" all resolve.
_ALIASES = {
    "p": "PDiff",
    "pdiff": "PDiff",
    "pdistance": "PDiff",
    "jc": "JukesCantor",
    "jc69": "JukesCantor",
    "jukescantor": "JukesCantor",
    "k2p": "Kimura2P",
    "k80": "Kimura2P",
    "kimura": "Kimura2P",
    "kimura2p": "Kimura2P",
    "poisson": "Poisson",
}

_DEFAULT = {"dna": "Kimura2P", "protein": "Poisson"}


def canonical_model(name):
    """The core's name for `name` (case-insensitive, aliases allowed)."""
    if not isinstance(name, str):
        raise TypeError(f"model must be a string, not {type(name).__name__}")
    key = name.lower().replace("-", "").replace("_", "").replace(" ", "")
    try:
        return _ALIASES[key]
    except KeyError:
        raise ValueError(
            f"unknown model {name!r}; choose PDiff (p), JukesCantor (jc), "
            "Kimura2P (k2p) or Poisson"
        ) from None


def model_for(name, alphabet):
    """The model to run: `name` resolved, or the alphabet's default."""
    return _DEFAULT[alphabet] if name is None else canonical_model(name)
