class Counter:
    def __init__(self, step):
        self.step = step
    def add(self, v):
        return self.step * v + 1
    def mix(self, a, b):
        return a * self.step + b
def run(n):
    c = Counter(3)
    total = 0
    i = 0
    while i < n:
        total = total + c.add(i % 100)
        total = total - c.mix(i % 7, 2)
        i = i + 1
    return total
print(run(10000000))
