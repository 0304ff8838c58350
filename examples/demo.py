import _movra
s = _movra.NativeStream.manual(batch_size=10, linger_ms=5, capacity=100)
print(s.address(), s.stats())
s.close()
