"""Heap queues over plain lists: a min-heap by `<`, and the `_max` family by reversed comparisons."""
from _heapq import heapify, heappop


def heappush(heap, item):
    heap.append(item)
    i = len(heap) - 1
    while i > 0:
        parent = (i - 1) // 2
        if heap[i] < heap[parent]:
            heap[i], heap[parent] = heap[parent], heap[i]
            i = parent
        else:
            break


def heapreplace(heap, item):
    result = heappop(heap)
    heappush(heap, item)
    return result


def heappushpop(heap, item):
    if heap and heap[0] < item:
        result = heap[0]
        heap[0] = item
        heapify(heap)
        return result
    return item


def nsmallest(n, iterable, key=None):
    if n <= 0:
        return []
    return sorted(iterable, key=key)[:n]


def nlargest(n, iterable, key=None):
    if n <= 0:
        return []
    return sorted(iterable, key=key, reverse=True)[:n]
