# The helper classes of the argument fuzzer, run once in a private namespace
# of its embedded interpreter. Methods that raise Consulted are overrides the
# conversions must never call.
import array
import warnings
warnings.simplefilter('ignore', DeprecationWarning)

class Consulted(BaseException):
    pass

class FuzzError(Exception):
    pass

class FuzzBase(BaseException):
    pass

class FuzzStop(StopIteration):
    pass

class FuzzIndex(IndexError):
    pass

class FuzzKey(KeyError):
    pass

RAISABLE = (FuzzError, FuzzBase, FuzzStop, FuzzIndex, FuzzKey, TypeError, OverflowError,
            ValueError, MemoryError)
# NotImplementedError: the host's iteration of a multi-dimensional memoryview.
EXPECTED = (TypeError, OverflowError, ValueError, MemoryError, NotImplementedError,
            FuzzError, FuzzBase, FuzzStop, FuzzIndex, FuzzKey)

def answer(spec):
    raising, value = spec
    if raising:
        raise value('fuzz')
    return value

class DictSub(dict):
    def __iter__(self): raise Consulted('DictSub.__iter__')
    def __len__(self): raise Consulted('DictSub.__len__')
    def __getitem__(self, key): raise Consulted('DictSub.__getitem__')
    def items(self): raise Consulted('DictSub.items')
    def keys(self): raise Consulted('DictSub.keys')
    def values(self): raise Consulted('DictSub.values')

class StrSub(str):
    def __str__(self): raise Consulted('StrSub.__str__')
    def __iter__(self): raise Consulted('StrSub.__iter__')
    def __len__(self): raise Consulted('StrSub.__len__')
    def __getitem__(self, i): raise Consulted('StrSub.__getitem__')
    def encode(self, *args, **kwargs): raise Consulted('StrSub.encode')
    def lower(self): raise Consulted('StrSub.lower')

class IntSub(int):
    def __index__(self): raise Consulted('IntSub.__index__')
    def __int__(self): raise Consulted('IntSub.__int__')

class FloatSub(float):
    def __float__(self): raise Consulted('FloatSub.__float__')

class Num:
    def __init__(self, index, flt):
        self.index_spec = index
        self.float_spec = flt
    def __index__(self): return answer(self.index_spec)
    def __float__(self): return answer(self.float_spec)

class IndexOnly:
    def __init__(self, index): self.index_spec = index
    def __index__(self): return answer(self.index_spec)

class FloatOnly:
    def __init__(self, flt): self.float_spec = flt
    def __float__(self): return answer(self.float_spec)

class LyingSeq:
    def __init__(self, length, items, fail_at):
        self.length_spec = length
        self.items = items
        self.fail_at = fail_at
    def __len__(self): return answer(self.length_spec)
    def __getitem__(self, i):
        if i == self.fail_at:
            raise FuzzError('getitem')
        return self.items[i]

class LyingList(list):
    def __init__(self, items, length):
        super().__init__(items)
        self.length_spec = length
    def __len__(self): return answer(self.length_spec)

state = {'store': None, 'mutations': 0, 'snapshot': None, 'scratch': None}

def act(action):
    store = state['store']
    if action == 0:
        state['mutations'] += 1
        store.upsert(7, [1.0, 2.0], {'tenant_id': 'a', 'n': 1})
    elif action == 1:
        store.search([1.0, 2.0], 3, 'cosine')
    elif action == 2:
        store.batch_search([[1.0], [2.0, 3.0], []], 2, 'l2', 'a')
    elif action == 3:
        state['mutations'] += 1
        store.load(state['snapshot'])
    elif action == 4:
        store.save(state['scratch'])
    elif action == 5:
        state['mutations'] += 1
        store.upsert(8, [], None)

class Reenter:
    busy = False
    def __init__(self, action):
        self.action = action
    def run(self):
        if Reenter.busy:
            return
        Reenter.busy = True
        try:
            act(self.action % 6)
        finally:
            Reenter.busy = False
    def __index__(self):
        self.run()
        return self.action
    def __float__(self):
        self.run()
        return 0.5
    def __len__(self):
        self.run()
        return 2
    def __getitem__(self, i):
        self.run()
        if i >= 2:
            raise IndexError(i)
        return float(i)

def generator(n):
    yield from range(n)

array_type = array.array

class ArraySub(array.array):
    pass

def make_buffer(kind, raw, code, step, rows):
    """Float (and other) buffers: array.array, memoryviews cast, strided,
    multi-dimensional, zero-dimensional, released, over a bytearray."""
    code = 'fdBbiq'[code % 6]
    size = array.array(code).itemsize
    raw = raw[:len(raw) // size * size]
    step = (1, 2, -1, -2, 3)[step % 5]
    kind %= 7
    if kind == 0:
        return array.array(code, raw)[::step]
    if kind == 1:
        return memoryview(raw).cast(code)[::step]
    if kind == 2:
        rows = 1 + rows % 4
        count = len(raw) // size
        return memoryview(raw).cast(code, (rows, count // rows)) if count % rows == 0 else None
    if kind == 3:
        view = memoryview(raw).cast(code)
        view.release()
        return view
    if kind == 4:
        return memoryview(bytearray(raw)).cast(code)[::step]
    if kind == 5:
        return memoryview(raw[:size]).cast(code, ()) if len(raw) >= size else None
    return ArraySub(code, raw)
