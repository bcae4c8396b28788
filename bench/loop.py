def run():
    i = 0
    total = 0
    while i < 40000000:
        total = total + i % 7
        i = i + 1
    return total
print(run())
