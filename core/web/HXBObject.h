#pragma once

#include <memory>

// Base of objects owned through std::shared_ptr (always created with std::make_shared).
class HXBObject : public std::enable_shared_from_this<HXBObject>
{
public:
    // The object's own shared pointer as the derived type. Throws std::bad_weak_ptr when
    // the object is not owned by a shared pointer.
    template<typename Derived>
    std::shared_ptr<Derived> shared_from_base()
    {
        return std::static_pointer_cast<Derived>(shared_from_this());
    }

    template<typename Derived>
    std::shared_ptr<const Derived> shared_from_base() const
    {
        return std::static_pointer_cast<const Derived>(shared_from_this());
    }
};
