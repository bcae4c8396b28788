local function run(n)
  local total = 0
  local i = 0
  while i < n do
    local p = {i, i + 1, i + 2}
    local q = {p[3], p[1], 7}
    total = total + q[1] - q[2] + #p + q[3]
    i = i + 1
  end
  return total
end
print(run(6000000))
