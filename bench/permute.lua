local function permute(n)
  local a, c = {}, {}
  for k = 0, n - 1 do a[k] = k; c[k] = 0 end
  local check = 0
  local count = 1
  local i = 1
  while i < n do
    if c[i] < i then
      local j = 0
      if i % 2 == 1 then j = c[i] end
      local t = a[j]
      a[j] = a[i]
      a[i] = t
      local s = 0
      local k = 0
      while k < n do s = s + a[k] * (k + 1); k = k + 1 end
      check = (check * 31 + s) % 1000000007
      count = count + 1
      c[i] = c[i] + 1
      i = 1
    else
      c[i] = 0
      i = i + 1
    end
  end
  print(count)
  return check
end
print(permute(10))
