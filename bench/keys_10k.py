def fill(n):
    o = {}
    i = 0
    while i < n:
        o[f"k{i}"] = i
        i = i + 1
    return len(o)
total = 0
r = 0
while r < 100:
    total = total + fill(10000)
    r = r + 1
print(total)
