def build(depth):
    if depth == 0:
        return [0, 0]
    return [build(depth - 1), build(depth - 1)]
def count(t):
    if type(t[0]) is int:
        return 1
    return 1 + count(t[0]) + count(t[1])
def run(depth, reps):
    total = 0
    r = 0
    while r < reps:
        total = total + count(build(depth))
        r = r + 1
    return total
print(run(16, 8))
