def sieve(n):
    flags = list(range(0, n + 1))
    i = 0
    while i <= n:
        flags[i] = 1
        i = i + 1
    flags[0] = 0
    flags[1] = 0
    p = 2
    while p * p <= n:
        if flags[p] == 1:
            m = p * p
            while m <= n:
                flags[m] = 0
                m = m + p
        p = p + 1
    count = 0
    i = 0
    while i <= n:
        count = count + flags[i]
        i = i + 1
    return count
def run(n, reps):
    total = 0
    r = 0
    while r < reps:
        total = total + sieve(n)
        r = r + 1
    return total
print(run(1000000, 12))
