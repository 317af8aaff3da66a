/*
 * LndpList<T, N>: fixed-capacity singly linked list of pointers to T. The
 * link elements are a member array kept on a spare chain, so appending and
 * removing never allocate. Every engine table is a pair of these (free and
 * used), and iteration follows the list from head to tail. N is the storage;
 * init(limit) puts only the first limit elements on the spare chain, so a
 * table sized at start-up holds no more than it was given.
 */
#ifndef LNDP_LIST_H
#define LNDP_LIST_H

#include <stdint.h>

template <typename T, int N> class LndpList
{
public:
    struct Elem
    {
        T *item;
        Elem *next;
    };

    LndpList() { init(); }

    // Empties the list and puts the first limit link elements (all of them
    // when limit is outside 0..N) on the spare chain; the others are left
    // alone.
    void init(int limit = N)
    {
        m_limit = (limit >= 0 && limit <= N) ? limit : N;
        for (int i = 0; i < m_limit; ++i) {
            m_elems[i].item = nullptr;
            m_elems[i].next = (i + 1 < m_limit) ? &m_elems[i + 1] : nullptr;
        }
        m_spare = m_limit > 0 ? &m_elems[0] : nullptr;
        m_head = m_tail = nullptr;
        m_count = 0;
    }

    // False when the list is full or item is null.
    bool append(T *item)
    {
        if (!item || !m_spare)
            return false;
        Elem *e = m_spare;
        m_spare = e->next;
        e->item = item;
        e->next = nullptr;
        if (m_tail)
            m_tail->next = e;
        else
            m_head = e;
        m_tail = e;
        ++m_count;
        return true;
    }

    // Head item, or null when empty.
    T *front() const { return m_head ? m_head->item : nullptr; }

    // Removes and returns the head item, or null when empty.
    T *popFront()
    {
        if (!m_head)
            return nullptr;
        Elem *e = m_head;
        T *item = e->item;
        m_head = e->next;
        if (!m_head)
            m_tail = nullptr;
        release(e);
        return item;
    }

    // Removes the first occurrence of item; false when absent.
    bool remove(const T *item)
    {
        Elem *prev = nullptr;
        for (Elem *e = m_head; e; prev = e, e = e->next) {
            if (e->item != item)
                continue;
            if (prev)
                prev->next = e->next;
            else
                m_head = e->next;
            if (m_tail == e)
                m_tail = prev;
            release(e);
            return true;
        }
        return false;
    }

    bool contains(const T *item) const
    {
        for (const Elem *e = m_head; e; e = e->next)
            if (e->item == item)
                return true;
        return false;
    }

    const Elem *head() const { return m_head; }
    int count() const { return m_count; }
    static constexpr int capacity() { return N; }
    int limit() const { return m_limit; }
    bool empty() const { return m_count == 0; }

private:
    void release(Elem *e)
    {
        e->item = nullptr;
        e->next = m_spare;
        m_spare = e;
        --m_count;
    }

    Elem m_elems[N];
    Elem *m_spare;
    Elem *m_head;
    Elem *m_tail;
    int m_count;
    int m_limit;
};

// Iterates a list; the next element is taken before the body runs, so the
// body may remove the current item.
#define LNDP_FOR_EACH(list, var)                                                                                       \
    for (const auto *var##_e = (list).head(), *var##_n = var##_e ? var##_e->next : nullptr; var##_e;                   \
         var##_e = var##_n, var##_n = var##_e ? var##_e->next : nullptr)                                               \
        if (auto *var = var##_e->item; true)

#endif /* LNDP_LIST_H */
