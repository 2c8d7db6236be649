"""The system's messages that several test files check, and the metric
names that must be refused."""

# Every snapshot that fails to decode is reported under this prefix.
DECODE = "Postcard binary deserialization pipeline failure (possible corruption): "

SEARCH_MESSAGE = (
    "Unsupported metric option. Choose from: 'cosine', 'dot_product' ('dot'), or 'euclidean' ('l2')."
)
BATCH_MESSAGE = "Unsupported metric option assigned. Choose from: 'cosine', 'dot_product', or 'euclidean'."

# Near misses of the accepted names: spacing, punctuation, NULs, other
# scripts, Unicode case and width tricks, and sheer length.
REFUSED_NAMES = [
    " cosine", "cosine ", "dot-product", "dot product", "", "manhattan", "l1",
    "cos", "euclid", "l2\x00", "dot\x00product", "cosine\x00", "\x00cosine",
    "COS\u0130NE",  # dotted capital I lower-cases to two characters
    "\uff43osine",  # one full-width letter
    "\uff43\uff4f\uff53\uff49\uff4e\uff45",  # all full-width
    "\uff23\uff2f\uff33\uff29\uff2e\uff25",
    "cos\u200bine",  # zero-width space
    "cosine\u0301",  # combining accent
    "\u0441osine",  # Cyrillic es
    "l\u2082",  # subscript two
    "dot\u00ad",  # soft hyphen
    "\U0001f600",
    "dot" * 10000,
]
