local function times(v, n)
  local out = {}
  local i = 0
  while i < n do
    local sum = 0.0
    local j = 0
    while j < n do
      local ij = i + j
      sum = sum + v[j] / (ij * (ij + 1) / 2 + i + 1)
      j = j + 1
    end
    out[i] = sum
    i = i + 1
  end
  return out
end
local function times_transposed(v, n)
  local out = {}
  local i = 0
  while i < n do
    local sum = 0.0
    local j = 0
    while j < n do
      local ij = i + j
      sum = sum + v[j] / (ij * (ij + 1) / 2 + j + 1)
      j = j + 1
    end
    out[i] = sum
    i = i + 1
  end
  return out
end
local function run(n)
  local u = {}
  for i = 0, n - 1 do u[i] = 1.0 end
  local v = u
  for k = 1, 10 do
    v = times_transposed(times(u, n), n)
    u = times_transposed(times(v, n), n)
  end
  local vbv, vv = 0.0, 0.0
  for i = 0, n - 1 do
    vbv = vbv + u[i] * v[i]
    vv = vv + v[i] * v[i]
  end
  return math.sqrt(vbv / vv)
end
print(math.floor(run(800) * 1000000000))
