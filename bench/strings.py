def run():
    s = ""
    i = 0
    while i < 300000:
        s = f"{s}{i % 10}"
        i = i + 1
    words = 0
    j = 0
    while j < 1000000:
        t = f"item-{j}-{str(j * 2)}"
        words = words + len(t)
        j = j + 1
    count = 0
    for c in s:
        if c == "7":
            count = count + 1
    return len(s) + words + count
print(run())
