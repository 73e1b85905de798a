"""Which characters count as Chinese, for the dry run's token estimate and
the word bounds of glossary suggestions."""

# CJK ideographs: Extension A, the unified block, the compatibility block.
IDEOGRAPHS = ((0x3400, 0x4DBF), (0x4E00, 0x9FFF), (0xF900, 0xFAFF))
# CJK punctuation and the full-width forms: a tokenizer counts them as it
# counts ideographs, a word never holds them.
WIDE_MARKS = ((0x3000, 0x303F), (0xFF00, 0xFFEF))


def is_cjk(character, marks=False):
    """An ideograph; with `marks`, CJK punctuation and full-width forms too."""
    code = ord(character)
    ranges = IDEOGRAPHS + WIDE_MARKS if marks else IDEOGRAPHS
    return any(low <= code <= high for low, high in ranges)
