local Counter = {}
Counter.__index = Counter
function Counter:add(v) return self.step * v + 1 end
function Counter:mix(a, b) return a * self.step + b end
local function run(n)
  local c = setmetatable({step = 3}, Counter)
  local total = 0
  local i = 0
  while i < n do
    total = total + c:add(i % 100)
    total = total - c:mix(i % 7, 2)
    i = i + 1
  end
  return total
end
print(run(10000000))
