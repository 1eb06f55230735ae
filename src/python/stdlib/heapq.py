"""Heap queues over plain lists: a min-heap by `<`, and the `_max` family by reversed comparisons."""
from _heapq import heapify, heappop


def _min_first(a, b):
    return a < b


def _max_first(a, b):
    return b < a


def _sift_toward_root(heap, pos, first):
    while pos > 0:
        parent = (pos - 1) // 2
        if first(heap[pos], heap[parent]):
            heap[pos], heap[parent] = heap[parent], heap[pos]
            pos = parent
        else:
            break


def _sift_away_from_root(heap, pos, first):
    n = len(heap)
    while True:
        child = 2 * pos + 1
        if child >= n:
            return
        if child + 1 < n and first(heap[child + 1], heap[child]):
            child += 1
        if first(heap[child], heap[pos]):
            heap[pos], heap[child] = heap[child], heap[pos]
            pos = child
        else:
            return


def heappush(heap, item):
    heap.append(item)
    _sift_toward_root(heap, len(heap) - 1, _min_first)


def heapreplace(heap, item):
    if not heap:
        raise IndexError("index out of range")
    result = heap[0]
    heap[0] = item
    _sift_away_from_root(heap, 0, _min_first)
    return result


def heappushpop(heap, item):
    if heap and heap[0] < item:
        item, heap[0] = heap[0], item
        _sift_away_from_root(heap, 0, _min_first)
    return item


def nsmallest(n, iterable, key=None):
    if n <= 0:
        return []
    return sorted(iterable, key=key)[:n]


def nlargest(n, iterable, key=None):
    if n <= 0:
        return []
    return sorted(iterable, key=key, reverse=True)[:n]


def heapify_max(heap):
    for i in range(len(heap) // 2 - 1, -1, -1):
        _sift_away_from_root(heap, i, _max_first)


def heappush_max(heap, item):
    heap.append(item)
    _sift_toward_root(heap, len(heap) - 1, _max_first)


def heappop_max(heap):
    if not heap:
        raise IndexError("index out of range")
    last = heap.pop()
    if heap:
        result = heap[0]
        heap[0] = last
        _sift_away_from_root(heap, 0, _max_first)
        return result
    return last


def heapreplace_max(heap, item):
    if not heap:
        raise IndexError("index out of range")
    result = heap[0]
    heap[0] = item
    _sift_away_from_root(heap, 0, _max_first)
    return result


def heappushpop_max(heap, item):
    if heap and item < heap[0]:
        item, heap[0] = heap[0], item
        _sift_away_from_root(heap, 0, _max_first)
    return item


def merge(*iterables, key=None, reverse=False):
    # Entries (key, order, value, iterator): the order keeps equal keys in iterable order.
    entries = []
    for order, iterable in enumerate(iterables):
        it = iter(iterable)
        for value in it:
            entries.append([value if key is None else key(value), order, value, it])
            break
    if reverse:
        order_sign = -1
        entries = [[k, order_sign * o, v, it] for k, o, v, it in entries]
        push, pop, build = heappush_max, heappop_max, heapify_max
    else:
        push, pop, build = heappush, heappop, heapify
    build(entries)
    while entries:
        entry = pop(entries)
        yield entry[2]
        for value in entry[3]:
            entry[0] = value if key is None else key(value)
            entry[2] = value
            push(entries, entry)
            break
