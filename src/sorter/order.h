// How a sorter orders and thins its items, fixed when it is made.
//
// Whatever the order, items with equal keys keep the order they were added in: `reverse`
// turns the order of the keys around, not that of ties, as `sorted(reverse=True)` does.
// Keys are equal when their key bytes are. The chunk sort is always ascending; spilling,
// merge passes and the final merge read through `Order` to give the final order, so every
// run on disk is already in it. Plain data, copied wherever it is needed.
#ifndef LODESTACK_SORTER_ORDER_H_
#define LODESTACK_SORTER_ORDER_H_

namespace lodestack::sorter {

struct Order {
  bool reverse = false;  // keys descending, a key before its own proper prefixes
  bool unique = false;   // of each group of equal keys, only the first added is kept
};

}  // namespace lodestack::sorter

#endif  // LODESTACK_SORTER_ORDER_H_
